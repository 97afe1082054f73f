# The two commands a newcomer runs: 'make demo' and 'make test'.
.PHONY: deps demo test release bench fuzz install clean

deps:
	bash scripts/install-deps.sh

release: deps
	cmake --preset release
	cmake --build --preset release

demo: release
	./build/release/host/brightloom demo

test: deps
	cmake --preset test
	cmake --build --preset test
	ctest --preset test

bench: deps
	cmake --preset bench
	cmake --build --preset bench

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz

clean:
	rm -rf build out
