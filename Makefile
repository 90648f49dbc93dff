# Front door. `make` builds the Windows image, `make test` runs every test,
# `make run` installs the certificates into a throwaway Wine prefix and shows them.
.PHONY: all image test run clean deps

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
	@scripts/run-in-wine.sh build/windows/install-ca-certs.exe

clean:
	rm -rf build
