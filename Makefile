# Entry points for Linux. Each target installs what is missing (as root) or says how.
PRESETS := $(shell . ./scripts/presets.sh && echo "$$pelmora_presets")
# Wine 8 is the machine's own, or the Debian 12 root's where make deps had to make one instead.
WINE8 := sh scripts/with-wine8.sh

.PHONY: all deps build test test-repeat test-wine10 dist dist-check dist-reproduce demo bench bench-load clean \
	format

all: build

deps:
	@sh scripts/ensure-deps.sh

build: deps
	@set -e; for preset in $(PRESETS); do \
		cmake --preset $$preset >/dev/null && cmake --build --preset $$preset; \
	done

# Both presets are tested even when the first fails; the result is the worse of the two.
test: build
	@$(WINE8) sh -c 'status=0; for preset in $(PRESETS); do \
		echo "== $$preset"; ctest --preset $$preset || status=1; \
	done; exit $$status'

# For a test suspected of failing by chance: the suite N times in a row for each preset (the
# presets side by side, each in a prefix of its own; SERIAL=1 one after the other), then the tests
# that failed and in how many rounds. R=regex runs only the matching ctest tests.
N ?= 20
test-repeat: build
	@PRESETS='$(PRESETS)' SERIAL='$(SERIAL)' \
		$(WINE8) sh scripts/ci/test-repeat.sh $(N) $(if $(R),-R '$(R)')

# The whole suite again under Wine 10, from a Debian 13 root made once (several minutes) in
# /var/cache/pelmora (PELMORA_CACHE overrides it). As root.
test-wine10: build
	@sh scripts/ci/test-wine10.sh

# The release zip of both bitnesses and its SHA-256 file, in build/dist.
dist: build
	@sh scripts/make-zip.sh

# The zip's hosts, unpacked, through the same end-to-end tests as the built ones.
dist-check: dist
	@$(WINE8) sh scripts/ci/check-dist.sh
	@sh scripts/dist-reproduce.sh

# The zip built again from the same commit in a fresh clone, compared byte for byte.
dist-reproduce: dist
	@sh scripts/dist-reproduce.sh

# The main job: a 64-bit client uses the 32-bit sample DLL through the 32-bit host, under Wine.
demo: build
	@$(WINE8) sh scripts/demo.sh

# Figures, not pass/fail: latency, throughput, the host's memory and idle CPU, a mixed-bitness load (about ten minutes).
bench: build
	@$(WINE8) sh scripts/bench.sh

# Only the benchmark's row of 8 concurrent clients of both bitnesses (about 2 minutes).
bench-load: build
	@$(WINE8) sh scripts/bench.sh load

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
