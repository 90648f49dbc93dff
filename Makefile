# Front door. `make` builds the Windows image, `make test` runs every test,
# `make run` installs the certificates into a throwaway Wine prefix and shows them,
# `make dist` builds the deployment kit in build/dist, `make verify KIT=DIR` checks a
# kit against what these sources build.
.PHONY: all image dist verify test run screenshots benchmark clean-room clean deps kit-deps

PYTHON := /usr/bin/python3
# Off Debian 12, Debian 12's cross toolchain and wixl, which build the released
# kit, run from build/debian12 through the commands that deps writes to
# build/toolchain; on Debian 12 that folder does not exist and the host's serve.
export PATH := $(CURDIR)/build/toolchain:$(PATH)
# The CMake preset of the Windows platform that this host runs: the shipped
# 32-bit image's where 32-bit code runs, else its 64-bit twin's. Evaluated in
# the recipe, after deps has installed Wine.
wine_preset = $$($(PYTHON) tests/e2e/wineplatform.py preset)
# Builds targets $(1) of that platform's tree, then runs $(2).
define on_wine
	@preset=$(wine_preset) && cmake --preset $$preset >/dev/null && \
	  cmake --build --preset $$preset --target $(1) && $(2)
endef

all: image

# kit-deps: what building and checking the kit needs, and no more (a security
# officer's make verify installs no Wine).
deps kit-deps:
	@scripts/ensure-deps.sh $(if $(filter kit-deps,$@),kit)
	@$(PYTHON) tests/e2e/wineplatform.py toolchain

image: deps
	cmake --preset windows
	cmake --build --preset windows --target install-ca-certs
	@scripts/describe-image.sh build/windows/install-ca-certs.exe

# The deployment kit, in build/dist. Signed when given SIGN_CERT and SIGN_KEY (PEM
# chain and key) or SIGN_PKCS12, with SIGN_PASSFILE and SIGN_TIMESTAMP if needed.
# These, KIT and CAFILE reach kit.py through the environment, as make exports
# variables set on its command line, never through a shell's word splitting.
dist: kit-deps
	@cmake --preset windows >/dev/null
	cmake --build --preset windows --target install-ca-certs check-ca-certs
	@$(PYTHON) scripts/kit.py build @build/windows/kit-arguments --out build/dist

# A downloaded kit against the one these sources build, file by file, signatures
# checked (CAFILE: a PEM file of roots to check their chains against).
verify: kit-deps
	@test -n "$$KIT" || { echo "usage: make verify KIT=DIR [CAFILE=roots.pem]" >&2; exit 2; }
	@cmake --preset windows >/dev/null
	@cmake --build --preset windows --target install-ca-certs check-ca-certs >/dev/null
	@$(PYTHON) scripts/kit.py verify @build/windows/kit-arguments

# The Wine tests run on every platform this host runs (the host's Wine and the
# other release's, prepared once in build/debian13 on Debian 12, build/debian12 on
# Debian 13, from the start, while everything else goes on: the Wine tests that
# need it wait for it); the last lines say which.
test: deps
	@# The PowerShell grammar, from npm's registry: for the tests only, and before the
	@# other release's Wine starts downloading beside it.
	@test tests/powershell/node_modules/.installed -nt tests/powershell/package-lock.json || \
	  $(PYTHON) tests/powershell/fetch.py
	@mkdir -p build && (nice -n -10 ionice -c2 -n0 $(PYTHON) tests/e2e/wineplatform.py prepare >build/prepare.log 2>&1 &)
	cmake --preset host
	cmake --build --preset host
	ctest --preset host
	cmake --preset windows
	cmake --build --preset windows
	cmake --preset windows64
	cmake --build --preset windows64 --target all dist
	ctest --preset windows
	@$(PYTHON) tests/e2e/wineplatform.py check

run: image
	$(call on_wine,install-ca-certs wine_helper,$(PYTHON) scripts/run-in-wine.py)

# Pictures of the consent and all-installed boxes for the docs.
screenshots: image
	$(call on_wine,install-ca-certs wine_helper,$(PYTHON) scripts/screenshots.py docs)

# Silent installation against a do-nothing image and against the bare CRYPT32
# calls, under Wine.
benchmark: deps
	$(call on_wine,install-ca-certs noop-image reference-calls call-profile wine_helper,\
	  $(PYTHON) scripts/benchmark.py)

# The README's two commands in a pristine Debian 12 (as root; not part of make test).
clean-room:
	@scripts/clean-room.sh

clean:
	rm -rf build
