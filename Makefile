# Entry points for Linux. Each target installs what is missing (as root) or says how.
PRESETS := $(shell . ./scripts/presets.sh && echo "$$pelmora_presets")
export PRESETS
# Wine 8 is the machine's own, or the Debian 12 root's where make deps had to make one instead.
WINE8 := sh scripts/with-wine8.sh
# R=regex runs only the matching ctest tests.
CTEST_ARGS := $(if $(R),-R '$(R)')

.PHONY: all deps build test test-repeat test-wine10 dist dist-check dist-reproduce demo bench bench-load bench-models clean \
	format

all: build

deps:
	@sh scripts/ensure-deps.sh

build: deps
	@set -e; for preset in $(PRESETS); do \
		cmake --preset $$preset >/dev/null && cmake --build --preset $$preset; \
	done

test: build
	@$(WINE8) sh scripts/test.sh $(CTEST_ARGS)

# For a test suspected of failing by chance: the suite N times in a row for each preset (the
# presets side by side, each in a prefix of its own; SERIAL=1 one after the other), then the tests
# that failed and in how many rounds.
N ?= 20
test-repeat: build
	@SERIAL='$(SERIAL)' $(WINE8) sh scripts/test-repeat.sh $(N) $(CTEST_ARGS)

# The whole suite again under Wine 10, from a Debian 13 root made once (several minutes) in
# /var/cache/pelmora (PELMORA_CACHE moves it). As root. The full load guards against Wine 8's
# hang, which make test runs; here a short one shows that concurrency works under Wine 10 too.
test-wine10: build
	@sh scripts/wine-root.sh run trixie \
		env PELMORA_LONG_TESTS=$${PELMORA_LONG_TESTS:-short} sh scripts/test.sh $(CTEST_ARGS)

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

# Only the warm activations by threading model, against a bare local server (about 2 minutes);
# PELMORA_BENCH_BASELINE_HOST adds another host's figures beside them.
bench-models: build
	@$(WINE8) sh scripts/bench.sh models

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
