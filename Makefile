# The two commands a newcomer runs: 'make demo' and 'make test'.
.PHONY: deps demo test tsan release bench fuzz package install install-gimp clean

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

# The Debian packages (libtmlib0, libtmlib-dev, brightloom, gimp-plugin-brightloom) from a release
# build configured for /usr, into build/package/packages/; then lintian over them. (A first
# changelog entry closing no ITP bug matters only for uploads to Debian itself.)
package: deps
	cmake --preset package
	cmake --build --preset package
	rm -f build/package/packages/*.deb
	cmake --build --preset package --target package
	lintian --fail-on error,warning --suppress-tags initial-upload-closes-no-bugs build/package/packages/*.deb

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

# The GIMP 2.10 filter into the user's plug-in folder, laid out as cmake --install lays it out (see
# gimp/CMakeLists.txt): the dialog bundle in lib/, its resources in share/brightloom/. GIMP shows it
# under Filters > Tone Mapping after a restart.
GIMP_PLUGIN_DIR ?= $(or $(XDG_CONFIG_HOME),$(HOME)/.config)/GIMP/2.10/plug-ins/brightloom
install-gimp: release
	@test -x build/release/gimp/plug-ins/brightloom/brightloom || \
	  { echo "install-gimp: the plug-in was not built (is libgimp2.0-dev installed?)" >&2; exit 1; }
	mkdir -p "$(GIMP_PLUGIN_DIR)/lib" "$(GIMP_PLUGIN_DIR)/share/brightloom/presets" \
	  "$(GIMP_PLUGIN_DIR)/share/brightloom/images" "$(GIMP_PLUGIN_DIR)/share/brightloom/help"
	install -m 755 build/release/gimp/plug-ins/brightloom/brightloom "$(GIMP_PLUGIN_DIR)/brightloom"
	install -m 644 build/release/dialog/libBrightloomFilter.so "$(GIMP_PLUGIN_DIR)/lib/libBrightloomFilter.so"
	install -m 644 resources/presets/*.xmp "$(GIMP_PLUGIN_DIR)/share/brightloom/presets/"
	install -m 644 resources/images/*.png "$(GIMP_PLUGIN_DIR)/share/brightloom/images/"
	install -m 644 resources/help/*.html "$(GIMP_PLUGIN_DIR)/share/brightloom/help/"
	@echo "Installed into $(GIMP_PLUGIN_DIR); restart GIMP and use Filters > Tone Mapping > Brightloom…"

clean:
	rm -rf build out
