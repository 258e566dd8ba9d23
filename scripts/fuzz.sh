#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each
# for the given number of seconds (default 30), starting from the seed
# corpora in fuzz/corpus. Findings are written to build-fuzz/findings/.
#   bash scripts/fuzz.sh            # 30 s each
#   bash scripts/fuzz.sh 600        # ten minutes each
#   bash scripts/fuzz.sh 60 intake  # one target
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(intake atas_receive ini get_field)

bash scripts/install-deps.sh clang libclang-rt-14-dev
CXX=clang++ cmake -G Ninja -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Release \
    -DKELVARIX_FUZZ=ON -DKELVARIX_TESTS=OFF -DKELVARIX_WERROR=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}")

mkdir -p build-fuzz/findings
for target in "${targets[@]}"; do
    corpus=build-fuzz/corpus/$target
    mkdir -p "$corpus"
    echo "== fuzz_$target for ${seconds}s"
    ./build-fuzz/fuzz_$target "$corpus" "fuzz/corpus/$target" -max_total_time="$seconds" \
        -max_len=200000 -artifact_prefix=build-fuzz/findings/$target- -print_final_stats=1 \
        2>&1 | grep -E '^(#[0-9]+ +DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb|==|SUMMARY|ERROR)' || true
    if ls build-fuzz/findings/$target-* >/dev/null 2>&1; then
        echo "fuzz_$target found a fault: $(ls build-fuzz/findings/$target-*)"
        exit 1
    fi
    echo "corpus: $(ls "$corpus" | wc -l) inputs"
done
