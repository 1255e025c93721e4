#!/bin/sh
# Builds the libFuzzer targets with clang and the address and undefined-behaviour
# sanitizers, then runs each for FUZZ_SECONDS (30 by default) on a copy of its
# seed corpus. Exits non-zero when a target crashes; the input that crashed it
# is left in build-fuzz/artifacts/.
set -eu
cd "$(dirname "$0")/.."

sh scripts/install-deps.sh clang libclang-rt-14-dev

build=build-fuzz
seconds=${FUZZ_SECONDS:-30}
targets="fuzz_decode fuzz_request_head"

cmake -S . -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DHTTPD_SANITIZE=address,undefined -DHTTPD_FUZZ=ON -DBUILD_TESTING=OFF
# shellcheck disable=SC2086
cmake --build "$build" -j "${JOBS:-2}" --target $targets

mkdir -p "$build/artifacts"
status=0
for target in $targets; do
    # The fuzzer adds what it finds to the corpus it runs on: a copy keeps the
    # seeds in the tree small.
    corpus="$build/corpus/$target"
    rm -rf "$corpus"
    mkdir -p "$corpus"
    cp tests/fuzz/corpus/"$target"/* "$corpus"/
    echo "== $target: $seconds seconds"
    if ! "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=10 \
        -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1 "$corpus"; then
        echo "== $target: crashed" >&2
        status=1
    fi
done
exit $status
