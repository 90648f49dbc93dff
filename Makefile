# Front door. `make` builds the Windows image, `make test` runs every test,
# `make run` installs the certificates into a throwaway Wine prefix and shows them,
# `make dist` builds the deployment kit in build/dist.
.PHONY: all image dist test run screenshots benchmark clean deps

all: image

deps:
	@scripts/ensure-deps.sh

image: deps
	cmake --preset windows
	cmake --build --preset windows --target install-ca-certs
	@scripts/describe-image.sh build/windows/install-ca-certs.exe

# The deployment kit. Signed when given SIGN_CERT and SIGN_KEY (PEM chain and key)
# or SIGN_PKCS12, with SIGN_PASSFILE and SIGN_TIMESTAMP if needed; files are
# passed on as absolute paths, since the kit is built from build/windows.
sign_file = $(if $($(1)),$(abspath $($(1))))
dist: deps
	cmake --preset windows
	SIGN_CERT="$(call sign_file,SIGN_CERT)" SIGN_KEY="$(call sign_file,SIGN_KEY)" \
	SIGN_PKCS12="$(call sign_file,SIGN_PKCS12)" SIGN_PASSFILE="$(call sign_file,SIGN_PASSFILE)" \
	SIGN_TIMESTAMP="$(SIGN_TIMESTAMP)" cmake --build --preset windows --target dist

test: deps
	cmake --preset host
	cmake --build --preset host
	ctest --preset host
	cmake --preset windows
	cmake --build --preset windows
	ctest --preset windows

run: image
	@/usr/bin/python3 scripts/run-in-wine.py build/windows/install-ca-certs.exe

# Pictures of the consent and all-installed boxes for the docs.
screenshots: image
	@/usr/bin/python3 scripts/screenshots.py build/windows/install-ca-certs.exe docs

# Silent installation against a do-nothing image and against the bare CRYPT32
# calls, under Wine.
benchmark: deps
	cmake --preset windows
	cmake --build --preset windows --target install-ca-certs noop-image reference-calls call-profile
	@/usr/bin/python3 scripts/benchmark.py build/windows/install-ca-certs.exe build/windows/noop-image.exe \
	  build/windows/reference-calls.exe build/windows/call-profile.exe

clean:
	rm -rf build
