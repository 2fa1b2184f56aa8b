#!/bin/sh
# Counts non-blank lines that are not only a comment in .cpp .cc .h .hpp .py .sh .bat files:
# product code is everything outside tests/ and bench/, test code everything under tests/.
# Exits non-zero when the tests exceed 40% of the product.
cd "$(dirname "$0")/.." || exit 1
count() {
    git ls-files -- "$@" | grep -E '\.(cpp|cc|h|hpp|py|sh|bat)$' | xargs awk '
        FNR == 1 { block = 0 }
        /^[ \t\r]*$/ { next }
        FILENAME ~ /\.(py|sh)$/ { if ($0 !~ /^[ \t]*#/) n++; next }
        FILENAME ~ /\.bat$/ { if (tolower($0) !~ /^[ \t]*(@?rem([ \t]|$)|::)/) n++; next }
        block { if ($0 ~ /\*\//) block = 0; next }
        /^[ \t]*\/\*/ { if ($0 !~ /\*\//) block = 1; next }
        /^[ \t]*\/\// { next }
        { n++ }
        END { print n + 0 }'
}
product=$(count . ':!tests' ':!bench')
tests=$(count tests)
echo "lines: product $product, tests $tests ($((tests * 100 / product))% of product, budget 40%)"
[ $((tests * 100)) -le $((product * 40)) ]
