# The two commands a newcomer runs: 'make demo' and 'make test'.
.PHONY: deps demo test tsan release bench fuzz install clean

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

# The engine's threaded tests under ThreadSanitizer (not part of 'make test': it doubles the time).
tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan
	ctest --preset tsan

bench: deps
	cmake --preset bench
	cmake --build --preset bench

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz

clean:
	rm -rf build out
