# Front door. `make` builds the Windows image, `make test` runs every test,
# `make run` installs the certificates into a throwaway Wine prefix and shows them.
.PHONY: all image test run screenshots benchmark clean deps

all: image

deps:
	@scripts/ensure-deps.sh

image: deps
	cmake --preset windows
	cmake --build --preset windows --target install-ca-certs
	@scripts/describe-image.sh build/windows/install-ca-certs.exe

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
