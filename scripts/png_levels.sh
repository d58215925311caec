#!/usr/bin/env bash
# Size and time of tniff's PNG output at every --png-level, on a 4000 x 4000 RGBA image made from
# the sample render: stretched bilinearly, with a little grain in the colour as renders have.
#     bash scripts/png_levels.sh [BUILD_DIR]     (default build/; tniff must be built)
#     LEVELS="1 3 6" REPEAT=5 bash scripts/png_levels.sh    only these levels, least of 5 runs
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
tniff="$build/bin/tniff"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/stretch.cpp" <<'CPP'
// Reads a PAM of 4 or 5 planes on stdin, writes a 4000 x 4000 RGBA PAM on stdout.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>
int main() {
    std::string word;
    int w = 0, h = 0, d = 0;
    while (std::cin >> word && word != "ENDHDR") {
        if (word == "WIDTH") std::cin >> w;
        else if (word == "HEIGHT") std::cin >> h;
        else if (word == "DEPTH") std::cin >> d;
    }
    std::cin.get();
    std::vector<uint8_t> in(size_t(w) * h * d);
    std::cin.read(reinterpret_cast<char*>(in.data()), std::streamsize(in.size()));
    const int W = 4000, H = 4000;
    std::printf("P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", W, H);
    std::vector<uint8_t> row(size_t(W) * 4);
    uint32_t seed = 12345;
    for (int y = 0; y < H; ++y) {
        double fy = (y + 0.5) * h / H - 0.5;
        int y0 = fy < 0 ? 0 : int(fy), y1 = y0 + 1 < h ? y0 + 1 : h - 1;
        double ty = fy - y0 < 0 ? 0 : fy - y0;
        for (int x = 0; x < W; ++x) {
            double fx = (x + 0.5) * w / W - 0.5;
            int x0 = fx < 0 ? 0 : int(fx), x1 = x0 + 1 < w ? x0 + 1 : w - 1;
            double tx = fx - x0 < 0 ? 0 : fx - x0;
            seed = seed * 1664525u + 1013904223u;
            int grain = int(seed >> 30) - 1;  // -1, 0, 1, 2
            for (int c = 0; c < 4; ++c) {
                auto at = [&](int xx, int yy) { return double(in[(size_t(yy) * w + xx) * d + c]); };
                double v = (at(x0, y0) * (1 - tx) + at(x1, y0) * tx) * (1 - ty) +
                           (at(x0, y1) * (1 - tx) + at(x1, y1) * tx) * ty;
                int alpha = int(in[(size_t(y0) * w + x0) * d + 3]);
                int out = int(v + 0.5) + (c < 3 && alpha > 0 ? grain : 0);
                row[size_t(x) * 4 + c] = uint8_t(out < 0 ? 0 : out > 255 ? 255 : out);
            }
        }
        std::fwrite(row.data(), 1, row.size(), stdout);
    }
}
CPP
g++ -O2 -o "$work/stretch" "$work/stretch.cpp"
"$tniff" -q convert samples/render.iff "$work/render.pam"
"$work/stretch" < "$work/render.pam" > "$work/big.pam"
"$tniff" -q convert "$work/big.pam" "$work/big.iff"

# Seconds of processor time (user and system) of the whole conversion, which the other work on a
# shared machine disturbs far less than the wall clock; the wall clock beside it. Each is the
# least of REPEAT runs (default 3).
repeat=${REPEAT:-3}
measure() {  # output, arguments...
  local out=$1; shift
  local best_cpu="" best_wall=""
  for ((run = 0; run < repeat; run++)); do
    /usr/bin/time -f '%U %S %e' -o "$work/time" "$tniff" -q convert "$@" "$out"
    read -r user system wall < "$work/time"
    cpu=$(echo "$user + $system" | bc)
    if [ -z "$best_cpu" ] || [ "$(echo "$cpu < $best_cpu" | bc)" = 1 ]; then best_cpu=$cpu; fi
    if [ -z "$best_wall" ] || [ "$(echo "$wall < $best_wall" | bc)" = 1 ]; then best_wall=$wall; fi
  done
  printf '%12d %10.2f %10.2f\n' "$(stat -c %s "$out")" "$best_cpu" "$best_wall"
}
printf '%-6s %12s %10s %10s\n' level bytes cpu-s wall-s
printf '%-6s ' pam
measure "$work/out.pam" "$work/big.iff"
for level in ${LEVELS:-0 1 2 3 4 5 6 7 8 9}; do
  printf '%-6s ' "$level"
  measure "$work/big-$level.png" --png-level "$level" "$work/big.iff"
done
