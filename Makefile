# The front door: `make test` and `make demo` work on a fresh clone.
BUILD ?= build
CMAKE_GENERATOR ?= $(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")

.PHONY: all deps build stack stop test demo bench install clean

all: build

deps:
	@tools/pydeps.sh

build: deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -G "$(CMAKE_GENERATOR)" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -- $(if $(filter Ninja,$(CMAKE_GENERATOR)),--quiet,-s)

# The local stack: real servers on 127.0.0.1, data under run/.
stack:
	@stack/install.sh
	@stack/stack up

stop:
	@stack/stack down

test: build stack
	@tools/pytest tests

demo: build stack
	@tools/demo

# Every benchmark: each builds and starts what it needs and ends with "ratio <x>".
bench: build
	@for b in bench/*; do [ -x "$$b" ] && [ -f "$$b" ] || continue; \
	  echo "== $$b"; "$$b" || exit 1; echo; done

# make install PREFIX=/opt/qz [WITH_PLATFORM=1] [WITH_DIGITS=1]
PREFIX ?= /usr/local
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX) --component core
	@$(if $(WITH_PLATFORM),cmake --install $(BUILD) --prefix $(PREFIX) --component platform)
	@$(if $(WITH_DIGITS),cmake --install $(BUILD) --prefix $(PREFIX) --component digits)

clean:
	rm -rf $(BUILD)
