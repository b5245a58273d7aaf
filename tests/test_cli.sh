#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# The command line: image and text input, estimates written back, clear errors, exit codes.
set -u
cli=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fails=0 passes=0
check() {  # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then passes=$((passes + 1)); else echo "FAIL: $what"; fails=$((fails + 1)); fi
}

printf '0 0\n0 4\n' > "$dir/a.txt"
"$cli" tessik --pen 4 "$dir/a.txt" "$dir/e.txt"
check "2x2 merges at pen 4" diff -q "$dir/e.txt" <(printf '1 1\n1 1\n')
"$cli" tessik --pen 3.9 "$dir/a.txt" "$dir/e.txt"
check "2x2 stays at pen 3.9" diff -q "$dir/e.txt" <(printf '0 0\n0 4\n')

# Binary PGM, 8-bit: a 4x4 image whose left half is 10 and right half 200.
{ printf 'P5\n# two halves\n4 4\n255\n'; for r in 1 2 3 4; do printf '\x0a\x0a\xc8\xc8'; done; } > "$dir/b.pgm"
"$cli" brindel --sh 1 --lines 16 "$dir/b.pgm" "$dir/w.txt"
check "noise-free halves kept" diff -q "$dir/w.txt" <(for r in 1 2 3 4; do echo "10 10 200 200"; done)
"$cli" quarlo --sh 2 "$dir/b.pgm" "$dir/q.pgm"
pgm8() { [ "$(stat -c %s "$1")" -eq 27 ] && cmp -s -n 11 "$1" <(printf 'P5\n4 4\n255\n'); }
check "PGM keeps the input's 8 bits" pgm8 "$dir/q.pgm"

msg=$("$cli" tessik --pen 1 --sh 3 "$dir/a.txt" "$dir/x.txt" 2>&1); rc=$?
check "bad sh reported" [ "$rc:$msg" = "1:tessik: Input sh must be a positive integer that divides the image sides." ]
"$cli" brindel --noise poisson "$dir/b.pgm" "$dir/p1.txt" && "$cli" brindel --noise Poisson "$dir/b.pgm" "$dir/p2.txt"
check "noise name in any case" cmp -s "$dir/p1.txt" "$dir/p2.txt"
msg=$("$cli" brindel --noise poison "$dir/b.pgm" "$dir/x.txt" 2>&1); rc=$?
check "bad noise name reported" [ "$rc:$msg" = "1:brindel: noiseType must be either 'Poisson' or 'Gaussian'." ]
printf '1 2\n3\n' > "$dir/ragged.txt"
"$cli" tessik --pen 1 "$dir/ragged.txt" "$dir/x.txt" 2>/dev/null
check "ragged text rejected" [ $? -eq 1 ]
"$cli" tessik --pen x "$dir/a.txt" "$dir/x.txt" 2>/dev/null
check "non-numeric option rejected" [ $? -eq 1 ]

"$cli" tessik --pen 1 --threads 0 "$dir/a.txt" "$dir/x.txt" 2>/dev/null
check "zero threads rejected" [ $? -eq 1 ]

# Malformed or unusable files: status 1 and the fault named, before anything large is allocated.
refused() {  # expected stderr, then the arguments
  local want=$1 msg rc; shift
  msg=$("$cli" "$@" 2>&1); rc=$?
  [ "$rc:$msg" = "1:$want" ] || { echo "  got $rc: $msg"; return 1; }
}
bad=$dir/bad.pgm
{ printf 'P5 4 4 255\n'; head -c 15 /dev/zero; } > "$bad"
check "truncated P5" refused "dyadfit: $bad: P5 of 4x4 needs 16 bytes of samples, the file holds 15" tessik --pen 1 "$bad" "$dir/x.txt"
{ printf 'P5 2 2 255\n'; printf '\000\000\000\004\n'; } > "$dir/trail.pgm"
"$cli" tessik --pen 3.9 "$dir/trail.pgm" "$dir/trail.txt"
check "P5 with a final newline read" diff -q "$dir/trail.txt" <(printf '0 0\n0 4\n')
printf 'P5 16384 16384 255\n' > "$bad"
check "huge P5 header" refused "dyadfit: $bad: P5 of 16384x16384 needs 268435456 bytes of samples, the file holds 0" \
  tessik --pen 1 "$bad" "$dir/x.txt"
printf 'P2 4 4 255\n%s\n' "$(seq -s ' ' 16)" > "$dir/p2.pgm"
check "P2 well formed" "$cli" tessik --pen 0 "$dir/p2.pgm" "$dir/x.txt"
printf 'P2 65536 65536 255\n0\n' > "$bad"
check "absurd P2 size" refused "dyadfit: $bad: PGM of 65536x65536 exceeds the limit of 2^28 samples" \
  tessik --pen 1 "$bad" "$dir/x.txt"
printf 'P2 8 8 255\n1 2 3\n' > "$bad"
check "P2 shorter than its samples" refused "dyadfit: $bad: P2 of 8x8 needs at least 127 bytes of samples, the file holds 6" \
  tessik --pen 1 "$bad" "$dir/x.txt"
printf 'P2 2 2 255\n0 1 256 3\n' > "$bad"
check "P2 sample above maxval" refused "dyadfit: $bad: PGM sample 256 exceeds maxval 255" tessik --pen 1 "$bad" "$dir/x.txt"
printf 'P2 2 2 255\n0 1 -2 3\n' > "$bad"
check "negative P2 sample" refused "dyadfit: $bad: P2 sample is not a non-negative integer: '-2'" \
  tessik --pen 1 "$bad" "$dir/x.txt"
printf 'P5 2 2 100\n\x01\x02\xc8\x04' > "$bad"
check "P5 sample above maxval" refused "dyadfit: $bad: PGM sample 200 exceeds maxval 100" tessik --pen 1 "$bad" "$dir/x.txt"
for m in 0 65536; do
  printf 'P2 2 2 %s\n0 1 2 3\n' $m > "$bad"
  check "maxval $m" refused "dyadfit: $bad: PGM maxval must be from 1 to 65535, not $m" tessik --pen 1 "$bad" "$dir/x.txt"
done
check "directory as IN" refused "dyadfit: $dir is a directory, not an image" tessik --pen 1 "$dir" "$dir/x.txt"
: > "$dir/empty.txt"
check "empty IN" refused "dyadfit: $dir/empty.txt is empty" tessik --pen 1 "$dir/empty.txt" "$dir/x.txt"

# Failed writes: a full device reports the error and stays in place; NaN is no grey level.
if [ -c /dev/full ]; then
  msg=$("$cli" tessik --pen 1 "$dir/a.txt" txt:/dev/full 2>&1); rc=$?
  case "$rc:$msg" in "1:dyadfit: cannot write /dev/full"*) msg=ok ;; esac
  check "write to /dev/full fails" [ "$msg" = ok ]
  check "/dev/full kept" [ -c /dev/full ]
fi
printf '1 nan\n2 3\n' > "$dir/nan.txt"
nanmsg="dyadfit: the estimate holds NaN or Inf, which an image file cannot hold; write a text OUT"
check "NaN to PGM refused" refused "$nanmsg" tessik --pen 1 "$dir/nan.txt" "$dir/nan.pgm"
check "no PGM after NaN" [ ! -e "$dir/nan.pgm" ]
# A failed write keeps the OUT that was there, and no partial file is left beside it.
mkdir "$dir/keep" && echo old > "$dir/keep/o.png"
check "NaN to PNG refused" refused "$nanmsg" tessik --pen 1 "$dir/nan.txt" "$dir/keep/o.png"
check "old OUT kept, nothing beside it" [ "$(cat "$dir/keep/o.png")" = old -a "$(ls -A "$dir/keep")" = o.png ]

# Option values the module refuses come back with its message.
check "--pen nan" refused "tessik: The penalty must be positive." tessik --pen nan "$dir/a.txt" "$dir/x.txt"
check "--pen nan" refused "brindel: The penalty must be positive." brindel --pen nan "$dir/b.pgm" "$dir/x.txt"
check "--pen 1,nan" refused "quarlo: The penalty must be positive." quarlo --pen 1,nan "$dir/b.pgm" "$dir/x.txt"
check "--lines 2e8" refused "brindel: The number of lines must be a finite non-negative number not above 1e8." \
  brindel --lines 2e8 "$dir/b.pgm" "$dir/x.txt"

# Any thread count gives the same estimate.
awk 'BEGIN { srand(5); for (r = 0; r < 64; r++) { row = ""
       for (c = 0; c < 64; c++) row = row (c ? " " : "") (r > c ? 40 : 10) + int(rand() * 9); print row } }' \
  > "$dir/n64.txt"
"$cli" brindel --threads 1 "$dir/n64.txt" "$dir/t1.txt"
"$cli" brindel --threads 2 "$dir/n64.txt" "$dir/t2.txt"
"$cli" quarlo --threads 3 --lines 64 "$dir/n64.txt" "$dir/t3.txt"
"$cli" quarlo --threads 1 --lines 64 "$dir/n64.txt" "$dir/t4.txt"
check "1 and 2 threads agree" cmp -s "$dir/t1.txt" "$dir/t2.txt"
check "3 threads and 1 agree" cmp -s "$dir/t3.txt" "$dir/t4.txt"

# Image files: 8 and 16 bits through PNG and TIFF keep every value; the file's
# depth is carried to OUT (a default PGM shows it in its maxval).
starts() {  # file, printf format of its first bytes
  local want; want=$(printf "$2"; echo .)
  [ "$(head -c $((${#want} - 1)) "$1"; echo .)" = "$want" ]
}
for ext in png tif; do
  printf '0 1 257 4095\n32768 40000 65534 65535\n1 2 3 4\n5 6 7 8\n' > "$dir/s16.txt"
  "$cli" tessik --pen 0 "$dir/s16.txt" "$dir/s16.$ext" && "$cli" tessik --pen 0 "$dir/s16.$ext" "$dir/s16.$ext.txt"
  check "16-bit $ext round trip" cmp -s "$dir/s16.txt" "$dir/s16.$ext.txt"
  "$cli" tessik --pen 0 "$dir/s16.$ext" "$dir/s16.$ext.pgm"
  check "16-bit $ext read as 16 bits" starts "$dir/s16.$ext.pgm" 'P5\n4 4\n65535\n'
  printf '0 1 2 127\n128 200 254 255\n9 8 7 6\n5 4 3 2\n' > "$dir/s8.txt"
  "$cli" tessik --pen 0 --depth 8 "$dir/s8.txt" "$dir/s8.$ext" && "$cli" tessik --pen 0 "$dir/s8.$ext" "$dir/s8.$ext.txt"
  check "8-bit $ext round trip" cmp -s "$dir/s8.txt" "$dir/s8.$ext.txt"
  "$cli" tessik --pen 0 "$dir/s8.$ext" "$dir/s8.$ext.pgm"
  check "8-bit $ext read as 8 bits" starts "$dir/s8.$ext.pgm" 'P5\n4 4\n255\n'
done
if command -v octave-cli > /dev/null; then
  # Another reader agrees on the values, the class and the depth written.
  got=$(cd "$dir" && octave-cli --norc --no-window-system --quiet --eval '
    a16 = uint16([0 1 257 4095; 32768 40000 65534 65535; 1 2 3 4; 5 6 7 8]);
    a8 = uint8([0 1 2 127; 128 200 254 255; 9 8 7 6; 5 4 3 2]);
    ok = true;
    for f = {"s16.png", "s16.tif", "s8.png", "s8.tif"}
      x = imread(f{1}); i = imfinfo(f{1}); want = a16; bits = 16;
      if f{1}(2) == "8", want = a8; bits = 8; end
      ok = ok && isequal(x, want) && i.BitDepth == bits;
    end
    disp(ok)' 2>/dev/null)
  check "Octave reads the PNG and TIFF written" [ "$got" = 1 ]
fi
printf -- '-5 300.4\n127.5 254.5\n' > "$dir/clip.txt"
"$cli" tessik --pen 0 --depth 8 "$dir/clip.txt" "$dir/clip.png" && "$cli" tessik --pen 0 "$dir/clip.png" "$dir/clip.png.txt"
check "rounded and clipped to 8 bits" diff -q "$dir/clip.png.txt" <(printf '0 255\n128 255\n')

# Colour: three channels, or their luminance with --grey; one-channel formats refuse colour.
printf 'P6 2 2 255\n\377\000\000\000\377\000\000\000\377\012\024\036' > "$dir/c.ppm"
luma() { "$cli" tessik --pen 0 --grey "$1" "$dir/y.txt" && awk '{ for (i = 1; i <= NF; i++) printf "%.4f%s", $i, i < NF ? " " : "\n" }' "$dir/y.txt"; }
check "luminance of a colour image" [ "$(luma "$dir/c.ppm")" = $'76.2450 149.6850\n29.0700 18.1500' ]
"$cli" tessik --pen 0 "$dir/c.ppm" "$dir/c.png" && "$cli" tessik --pen 0 "$dir/c.png" "$dir/c.tif"
check "colour kept through PNG and TIFF" [ "$(luma "$dir/c.tif")" = $'76.2450 149.6850\n29.0700 18.1500' ]
check "colour to text refused" refused \
  "dyadfit: a text OUT holds one channel and the image has 3: use --grey, or an image OUT (.png, .tif, .ppm)" \
  tessik --pen 0 "$dir/c.ppm" "$dir/c.txt"
check "16 bits to JPEG refused" refused "dyadfit: JPEG holds 8 bits per sample: use --depth 8" \
  tessik --pen 0 "$dir/s16.txt" "$dir/x.jpg"

# 16-bit colour keeps each channel's samples through PNG; 16-bit grey through FITS.
printf 'P6 2 2 65535\n\x00\x01\x12\x34\xff\xfe\x80\x00\x00\x00\xab\xcd\x00\x02\x00\x03\x00\x04\xff\xff\x00\x00\x7f\xff' \
  > "$dir/c16.ppm"
"$cli" tessik --pen 0 "$dir/c16.ppm" "$dir/c16.png" && "$cli" tessik --pen 0 "$dir/c16.png" "$dir/c16b.ppm"
check "16-bit colour round trip" cmp -s <(tail -c 24 "$dir/c16.ppm") <(tail -c 24 "$dir/c16b.ppm")
"$cli" tessik --pen 0 "$dir/s16.txt" "$dir/s16.fits" && "$cli" tessik --pen 0 "$dir/s16.fits" "$dir/s16.fits.txt"
check "16-bit FITS round trip" cmp -s "$dir/s16.txt" "$dir/s16.fits.txt"

# Scientific files keep their values: FITS of each BITPIX through CFITSIO,
# TIFF pages through libtiff. Files written by a small generator.
if command -v python3 > /dev/null; then
  python3 - "$dir" <<'PY'
import struct, sys
d = sys.argv[1] + "/"
def fits(name, rows, bitpix, extra=()):
    h = []
    card = lambda k, v: h.append(f"{k:<8}= {v:>20}".ljust(80))
    for k, v in [("SIMPLE", "T"), ("BITPIX", bitpix), ("NAXIS", 2), ("NAXIS1", len(rows[0])), ("NAXIS2", len(rows))] + list(extra):
        card(k, v)
    h = "".join(h) + "END".ljust(80); h += " " * (-len(h) % 2880)
    f = {16: "h", -32: "f", -64: "d"}[bitpix]
    b = b"".join(struct.pack(">" + f * len(r), *r) for r in reversed(rows)); b += b"\0" * (-len(b) % 2880)
    open(d + name, "wb").write(h.encode() + b)
fits("f.fits", [[68.25, 70.5], [137.0, 99.125]], -64, [("OBJECT", "'M31'")])
fits("s.fits", [[-32768, -1], [32767, 300]], 16)
fits("u.fits", [[-32768, 32767], [7232, 0]], 16, [("BZERO", "32768")])
fits("inf.fits", [[1, 2], [float("inf"), 4]], -32)
def tiff(name, pages, photometric=1, spp=1, colormap=None):  # 8-bit, little-endian, one strip a page
    out = bytearray(b"II*\0\0\0\0\0"); link = 4
    for rows in pages:
        data = bytes(v for r in rows for v in r); at = len(out); out += data + b"\0" * (len(data) % 2)
        tags = [(256, len(rows[0]) // spp), (257, len(rows)), (258, 8), (259, 1), (262, photometric), (273, at),
                (277, spp), (278, len(rows)), (279, len(data))] + ([(320, None)] if colormap else [])
        ifd = len(out); body = struct.pack("<H", len(tags))
        for t, v in tags:
            body += struct.pack("<HHII", t, 3, len(colormap), ifd + 6 + 12 * len(tags)) if t == 320 else \
                    struct.pack("<HHII", t, 4 if t in (273, 279) else 3, 1, v)
        out += body + b"\0\0\0\0" + (struct.pack("<%dH" % len(colormap), *colormap) if colormap else b"")
        struct.pack_into("<I", out, link, ifd); link = ifd + 2 + 12 * len(tags)
    open(d + name, "wb").write(out)
tiff("stack.tif", [[[10, 20], [30, 40]], [[50, 60], [70, 80]], [[1, 2], [3, 4]]])
tiff("cmyk.tif", [[[0, 0, 0, 0, 255, 0, 0, 0], [0, 0, 0, 255, 0, 255, 255, 0]]], photometric=5, spp=4)
cmap = [i * 257 for i in range(256)] + [(255 - i) * 257 for i in range(256)] + [0] * 256
tiff("pal.tif", [[[0, 255], [128, 1]]], photometric=3, colormap=cmap)
with open(d + "pal.tif", "rb") as f: b = f.read()
open(d + "palcut.tif", "wb").write(b[:-700])
row = bytes([0, 0, 200, 10, 20, 30, 0, 0])
open(d + "a.bmp", "wb").write(b"BM" + struct.pack("<IHHI", 70, 0, 0, 54) +
                                struct.pack("<IiiHHIIiiII", 40, 2, 2, 1, 24, 0, 16, 2835, 2835, 0, 0) + row * 2)
PY
  "$cli" tessik --pen 0 "$dir/f.fits" "$dir/f.txt" && "$cli" tessik --pen 0 "$dir/s.fits" "$dir/s.txt" \
    && "$cli" tessik --pen 0 "$dir/u.fits" "$dir/u.txt"
  check "FITS values as stored: float, signed 16-bit, BZERO" \
    [ "$(cat "$dir/f.txt" "$dir/s.txt" "$dir/u.txt")" = $'68.25 70.5\n137 99.125\n-32768 -1\n32767 300\n0 65535\n40000 32768' ]
  for f in f s u; do "$cli" tessik --pen 0 "$dir/$f.fits" "$dir/$f.2.fits" && "$cli" tessik --pen 0 "$dir/$f.2.fits" "$dir/$f.2.txt"; done
  check "FITS round trips keep values, BITPIX and cards" \
    [ "$(cat "$dir/f.2.txt" "$dir/s.2.txt" "$dir/u.2.txt")" = "$(cat "$dir/f.txt" "$dir/s.txt" "$dir/u.txt")" -a \
      "$(head -c 2880 "$dir/f.2.fits" | fold -w 80 | grep -c -e '^BITPIX  = *-64 ' -e "^OBJECT  = *'M31'")" = 2 -a \
      "$(head -c 2880 "$dir/u.2.fits" | fold -w 80 | grep -c -e '^BITPIX  = *16 ' -e '^BZERO   = *32768')" = 2 ]
  check "FITS Inf refused with its place" refused \
    "dyadfit: $dir/inf.fits: FITS pixel x=1, y=1 is NaN, Inf or BLANK: such pixels are not accepted" \
    tessik --pen 0 "$dir/inf.fits" "$dir/x.txt"
  "$cli" tessik --pen 0 "$dir/stack.tif" "$dir/stack2.tif"
  check "a TIFF stack to PNG refused" refused "dyadfit: $dir/x.png: the input has 3 pages, which only a TIFF OUT holds" \
    tessik --pen 0 "$dir/stack.tif" "$dir/x.png"
  if command -v octave-cli > /dev/null; then
    got=$(cd "$dir" && octave-cli --norc --no-window-system --quiet --eval '
      ok = numel(imfinfo("stack2.tif")) == 3;
      for k = 1:3, ok = ok && isequal(imread("stack2.tif", k), uint8({[10 20; 30 40], [50 60; 70 80], [1 2; 3 4]}{k})); end
      disp(ok)' 2>/dev/null)
    check "every page of a TIFF stack processed, in order" [ "$got" = 1 ]
  fi
  "$cli" tessik --pen 0 "$dir/cmyk.tif" "$dir/cmyk.ppm" && "$cli" tessik --pen 0 "$dir/pal.tif" "$dir/pal.ppm" \
    && "$cli" tessik --pen 0 "$dir/a.bmp" "$dir/bmp.ppm"
  check "CMYK converted, palette expanded, BMP read" [ "$(for f in cmyk pal bmp; do tail -c 12 "$dir/$f.ppm"; done | od -An -tu1 | tr -s ' \n' ' ')" = \
    " 255 255 255 0 255 255 0 0 0 255 0 0 0 255 0 255 0 0 128 127 0 1 254 0 200 0 0 30 20 10 200 0 0 30 20 10 " ]
  check "palette TIFF cut in its colour map refused" refused \
    "dyadfit: $dir/palcut.tif: TIFF not readable: palette image without a complete colour map" \
    tessik --pen 0 "$dir/palcut.tif" "$dir/x.ppm"
fi

# The habits of image tools: - for standard input and output, FMT:-, --, -q,
# batch, --depth rescaling, long OUT names, one name per file.
"$cli" tessik --pen 4 "$dir/a.txt" "$dir/e.txt"
check "- reads standard input, writes standard output in its format" \
  diff -q "$dir/e.txt" <("$cli" tessik -q --pen 4 - - < "$dir/a.txt")
check "png:- names the format" starts <("$cli" tessik --pen 0 "$dir/a.txt" png:-) '\211PNG'
cp "$dir/a.txt" "$dir/-a.txt"
check "-- ends the options" "$cli" tessik --pen 4 -- "$dir/-a.txt" "$dir/-e.txt"
mkdir "$dir/batch"
msg=$("$cli" tessik --pen 4 --output-dir "$dir/batch" "$dir/a.txt" "$dir/missing.txt" "$dir/p2.pgm" 2>&1); rc=$?
check "batch goes past a bad IN and reports it" [ "$rc:$msg" = "1:dyadfit: $dir/missing.txt: cannot open $dir/missing.txt: No such file or directory" ]
check "... writing the others under their names" [ "$(cat "$dir/batch/a.txt")" = "$(cat "$dir/e.txt")" -a -s "$dir/batch/p2.pgm" ]
"$cli" tessik --pen 0 "$dir/s8.png" --depth 16 "$dir/d16.png" && "$cli" tessik --pen 0 "$dir/d16.png" "$dir/d16.txt" \
  && "$cli" tessik --pen 0 "$dir/d16.png" --depth 8 "$dir/d8.png" && "$cli" tessik --pen 0 "$dir/d8.png" "$dir/d8.txt"
check "--depth rescales 8 to 16 bits and back" [ "$(cat "$dir/d16.txt")" = "$(awk '{ for (i = 1; i <= NF; i++) printf "%d%s", $i * 257, i < NF ? " " : "\n" }' "$dir/s8.txt")" -a \
  "$(cat "$dir/d8.txt")" = "$(cat "$dir/s8.txt")" ]
long=$dir/$(printf 'l%.0s' $(seq 240)).txt
check "a 244-character OUT name" "$cli" tessik --pen 0 "$dir/a.txt" "$long"
check "unknown OUT format refused" refused \
  "dyadfit: cannot write $dir/x.webp: unknown format '.webp' (write .png, .tif, .jpg, .pgm, .ppm, .pnm, .fits, .txt or .csv, or FMT:$dir/x.webp)" \
  tessik --pen 0 "$dir/a.txt" "$dir/x.webp"
check "OUT naming IN refused" refused "dyadfit: OUT and IN name the same file: $dir/./a.txt" tessik --pen 0 "$dir/a.txt" "$dir/./a.txt"
check "--partition naming OUT refused" refused "dyadfit: --partition and OUT name the same file: $dir/w.png" \
  brindel --partition "$dir/w.png" "$dir/b.pgm" "$dir/w.png"
printf '1 2\n3 1e300\n' > "$dir/huge.txt"
check "values too large" refused \
  "dyadfit: Values too large: $dir/huge.txt holds 1e+300 at row 2, column 2; magnitudes up to 1e+100 are accepted" \
  tessik --pen 0 "$dir/huge.txt" "$dir/x.txt"
printf '0 0\n0 0.5\n' > "$dir/few.txt"
check "Poisson counts too few for the default penalties" refused \
  "dyadfit: Poisson counts too small for the default penalties: the image holds 0.5 counts in all, and at least 1 is needed; give the penalties (--pen)" \
  brindel --noise poisson "$dir/few.txt" "$dir/x.txt"

# Damaged files: the file and the fault named, status 1, no OUT.
awk 'BEGIN { srand(3); for (r = 0; r < 64; r++) { row = ""
       for (c = 0; c < 64; c++) row = row (c ? " " : "") int(rand() * 60000); print row } }' > "$dir/r64.txt"
"$cli" tessik --pen 0 "$dir/r64.txt" "$dir/r64.png" && "$cli" tessik --pen 0 "$dir/r64.txt" "$dir/r64.tif"
"$cli" tessik --pen 0 --depth 8 "$dir/r64.txt" "$dir/r64.jpg"
damaged() {  # file, format name
  local msg rc; rm -f "$dir/d.png"
  msg=$("$cli" tessik --pen 0 "$1" "$dir/d.png" 2>&1); rc=$?
  case "$rc:$msg" in "1:dyadfit: $1: $2 not readable: "?*) [ ! -e "$dir/d.png" ] ;; *) echo "  got $rc: $msg"; return 1 ;; esac
}
for f in png tif jpg; do
  head -c $(($(stat -c %s "$dir/r64.$f") / 2)) "$dir/r64.$f" > "$dir/half.$f"
  head -c 60 "$dir/r64.$f" > "$dir/head.$f"
done
check "truncated PNG" damaged "$dir/half.png" PNG
check "PNG header only" damaged "$dir/head.png" PNG
check "truncated TIFF" damaged "$dir/half.tif" TIFF
check "TIFF header only" damaged "$dir/head.tif" TIFF
check "truncated JPEG" damaged "$dir/half.jpg" JPEG
check "JPEG header only" damaged "$dir/head.jpg" JPEG
printf '\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR\x00\x00\x4e\x20\x00\x00\x4e\x20\x08\x00\x00\x00\x00\xc6\x1b\x19\xe5\x00\x00\x00\x0cIDAT\x78\x9c\x63\x60\xa0\x3d\x00\x00\x00\x64\x00\x01\x86\x64\x3c\x35\x00\x00\x00\x00IEND\xae\x42\x60\x82' > "$dir/huge.png"
check "PNG of 20000x20000 refused from its header" refused \
  "dyadfit: $dir/huge.png: image of 20000x20000 exceeds the limit of 2^28 pixels" tessik --pen 0 "$dir/huge.png" "$dir/x.png"

# A replaced OUT keeps its permissions; an OUT that is a link has its target replaced.
echo old > "$dir/perm.txt" && chmod 640 "$dir/perm.txt"
"$cli" tessik --pen 4 "$dir/a.txt" "$dir/perm.txt"
check "replaced OUT keeps its mode" [ "$(stat -c %a "$dir/perm.txt")" = 640 ]
echo old > "$dir/target.txt" && ln -s target.txt "$dir/link.txt"
"$cli" tessik --pen 4 "$dir/a.txt" "$dir/link.txt"
check "link kept, its target written" [ -L "$dir/link.txt" -a "$(cat "$dir/target.txt")" = "$(printf '1 1\n1 1')" ]

# Command line: usage faults exit with 2, bad values with 1, help with 0.
status() { "$cli" "$@" > /dev/null 2>&1; echo $?; }
check "no arguments" [ "$(status)" = 2 ]
check "unknown subcommand" [ "$(status frobnicate "$dir/a.txt" "$dir/x.txt")" = 2 ]
check "unknown option" [ "$(status brindel --pen1 1 "$dir/a.txt" "$dir/x.txt")" = 2 ]
check "option without its value" [ "$(status brindel "$dir/a.txt" "$dir/x.txt" --sh)" = 2 ]
check "one file" [ "$(status brindel "$dir/a.txt")" = 2 ]
check "help" bash -c "'$cli' --help | grep -q '^Exit status' && '$cli' denoise --help | grep -q -- --penalties"
check "bad depth" refused "dyadfit: option --depth needs 8 or 16, not '12'" tessik --pen 0 --depth 12 "$dir/a.txt" "$dir/x.png"
check "depth of a text OUT" refused "dyadfit: --depth applies to an image OUT; $dir/x.txt is written as text" \
  tessik --pen 0 --depth 8 "$dir/a.txt" "$dir/x.txt"
check "OUT in a missing folder" refused "dyadfit: cannot write $dir/none/x.png: No such file or directory" \
  tessik --pen 0 "$dir/a.txt" "$dir/none/x.png"
check "options after the files, --name=value" "$cli" tessik "$dir/a.txt" "$dir/e.txt" --pen=4
check "... give the same estimate" diff -q "$dir/e.txt" <(printf '1 1\n1 1\n')

# denoise: any size, the summary on stderr unless --quiet, the file's value class kept.
awk 'BEGIN { srand(9); for (r = 0; r < 48; r++) { row = ""
       for (c = 0; c < 40; c++) row = row (c ? " " : "") (c > r ? 160 : 60) + int(rand() * 30); print row } }' > "$dir/n.txt"
msg=$("$cli" denoise --depth 8 "$dir/n.txt" "$dir/dn.png" 2>&1); rc=$?
case "$rc:$msg" in "0:denoise: 1 channel, wedgelet, gaussian, sigma "*" (estimated), kept "*", block side "*) msg=ok ;; esac
check "denoise of 40x48 with a summary" [ "$msg" = ok ]
"$cli" denoise "$dir/dn.png" "$dir/dn.txt" --quiet 2> "$dir/err"
check "--quiet is silent" [ ! -s "$dir/err" ]
check "8-bit image denoised to 48 rows of 40 integers" \
  awk 'NF != 40 || /[.e]/ { bad = 1 } END { exit bad || NR != 48 }' "$dir/dn.txt"
check "denoise option message" refused "denoise: Option 'Method' must be 'constant', 'wedgelet' or 'platelet'." \
  denoise --method cubic "$dir/n.txt" "$dir/x.txt"

# Colour is denoised as a whole: a colour OUT of the same size, the summary per channel.
awk 'BEGIN { srand(9); print "P3 40 48 255"; for (r = 0; r < 48; r++) for (c = 0; c < 40; c++)
       print (c > r ? 160 : 60) + int(rand() * 30), (c > r ? 60 : 160) + int(rand() * 30), 100 + int(rand() * 30) }' \
  > "$dir/n.ppm"
msg=$("$cli" denoise "$dir/n.ppm" "$dir/dc.ppm" 2>&1)
case "$msg" in "denoise: 3 channels (opponent), wedgelet, gaussian, sigma "*,*,*" (estimated), kept "*,*,*", block sides "*,*,*) msg=ok ;; esac
check "colour denoised in the opponent basis" [ "$msg" = ok ]
check "colour OUT of 40x48" starts "$dir/dc.ppm" 'P6\n40 48\n255\n'
msg=$("$cli" denoise --colour rgb --sigma 8,9,10 "$dir/n.ppm" "$dir/dc.ppm" 2>&1)
case "$msg" in "denoise: 3 channels (rgb), wedgelet, gaussian, sigma 8,9,10 (given), kept "*", block sides "*) msg=ok ;; esac
check "a noise level per channel" [ "$msg" = ok ]

# Rates are never rounded: float TIFF and FITS hold what the text holds
# (TIFF in single precision), and colour agrees between their layouts.
awk 'BEGIN { srand(4); for (r = 0; r < 20; r++) { row = ""
       for (c = 0; c < 24; c++) row = row (c ? " " : "") (c > r ? 60 : 15) + int(rand() * 9); print row } }' > "$dir/g.txt"
camera="--noise poisson-gaussian --gain 1.5 --offset 2 --read-noise 1"
for o in r.txt r.tif r.fits; do "$cli" denoise $camera --quiet "$dir/g.txt" "$dir/$o"; done
"$cli" denoise $camera --quiet "$dir/n.ppm" "$dir/rc.tif" && "$cli" denoise $camera --quiet "$dir/n.ppm" "$dir/rc.fits"
msg=$("$cli" denoise $camera "$dir/g.txt" "$dir/r.txt" 2>&1)
case "$msg" in "denoise: 1 channel, wedgelet, poisson-gaussian, gain 1.5, offset 2, read noise 1 (given), kept "*", block side "*) msg=ok ;; esac
check "camera named in the summary" [ "$msg" = ok ]
check "rates in text are not whole" grep -q '\.' "$dir/r.txt"
if command -v octave-cli > /dev/null; then
  got=$(cd "$dir" && octave-cli --norc --no-window-system --quiet --eval '1;
    function x = tiff(name)  % little-endian, uncompressed, one strip: as written
      f = fopen(name); b = fread(f, Inf, "uint8=>uint8"); fclose(f);
      u16 = @(k) double(typecast(b(k + 1:k + 2), "uint16")); u32 = @(k) double(typecast(b(k + 1:k + 4), "uint32"));
      ifd = u32(4); tag = []; val = [];
      for e = 0:u16(ifd) - 1
        k = ifd + 2 + 12 * e; tag(end + 1) = u16(k); short = u16(k + 2) == 3;
        if u32(k + 4) > 1 + short, k = u32(k + 8) - 8; end  % the first of values held elsewhere
        if short, val(end + 1) = u16(k + 8); else val(end + 1) = u32(k + 8); end
      end
      t = @(id) val(tag == id);
      assert(all(char(b(1:2))(:) == "I") && t(258) == 32 && t(339) == 3 && t(259) == 1 && t(278) >= t(257));
      w = t(256); h = t(257); s = t(277);
      x = typecast(b(t(273) + 1:t(273) + 4 * w * h * s), "single");
      x = permute(reshape(x, s, w, h), [3 2 1]);
    end
    function x = fits(name)  % BITPIX -64, header of one record
      f = fopen(name); h = char(fread(f, 2880, "char")(:)'"'"');
      assert(~isempty(regexp(h, "^SIMPLE *= *T.{50}BITPIX *= *-64", "once")));
      axes = cellfun(@(a) str2double(a{1}), regexp(h, "NAXIS[0-9] *= *([0-9]+)", "tokens"));
      x = fread(f, prod(axes), "double", 0, "ieee-be"); fclose(f);
      if numel(axes) == 2, axes(3) = 1; end
      x = flipud(permute(reshape(x, axes), [2 1 3]));
    end
    t = load("r.txt"); a = tiff("r.tif"); b = fits("r.fits"); c = tiff("rc.tif"); d = fits("rc.fits");
    disp(isequal(b, t) && isequal(a, single(t)) && isequal(size(d), [48 40 3]) && isequal(c, single(d)))' 2>/dev/null)
  check "float TIFF and FITS read back exactly" [ "$got" = 1 ]
fi
check "rates refused in PNG" refused \
  "dyadfit: rates would be rounded into PNG's integers: write a float .tif, .fits or .txt, or give --scale F" \
  denoise --noise poisson "$dir/g.txt" "$dir/x.png"
check "... before any work, nothing written" [ ! -e "$dir/x.png" ]
check "rates refused in a 16-bit TIFF" refused \
  "dyadfit: rates would be rounded into 16-bit TIFF's integers: write a float .tif, .fits or .txt, or give --scale F" \
  brindel --noise poisson --depth 16 "$dir/b.pgm" "$dir/x.tif"
head -16 "$dir/g.txt" | cut -d ' ' -f 1-16 > "$dir/g16.txt"
"$cli" denoise --noise poisson --quiet "$dir/g16.txt" "$dir/p.txt"
"$cli" denoise --noise poisson --quiet --scale 0.5 --depth 8 "$dir/g16.txt" "$dir/p.png" \
  && "$cli" tessik --pen 0 "$dir/p.png" "$dir/p.png.txt"
check "--scale: rates times F, rounded to 8 bits" \
  diff -q "$dir/p.png.txt" <(awk '{ for (i = 1; i <= NF; i++) printf "%d%s", int($i * 0.5 + 0.5), i < NF ? " " : "\n" }' "$dir/p.txt")
check "--scale needs rates" refused "dyadfit: --scale applies to rates: --noise poisson or poisson-gaussian" \
  denoise --scale 2 "$dir/g.txt" "$dir/x.png"
check "--scale must be positive" refused "dyadfit: option --scale needs a positive finite number, not '0'" \
  brindel --noise poisson --scale 0 "$dir/b.pgm" "$dir/x.png"
check "bad colour" refused "denoise: Option 'Colour' must be 'opponent' or 'rgb'." denoise --colour hsv "$dir/n.ppm" "$dir/x.png"
check "two noise levels" refused \
  "denoise: Option 'Sigma' must be a positive finite number, one per channel, or [] to estimate it." \
  denoise --sigma 1,2 "$dir/n.ppm" "$dir/x.png"
check "camera without its model" refused \
  "denoise: Options 'Gain', 'Offset' and 'ReadNoise' need 'Noise', 'poisson-gaussian'." \
  denoise --gain 2 "$dir/g.txt" "$dir/x.txt"
check "bad read noise" refused \
  "denoise: Option 'ReadNoise' must be a finite number of at least 0, or [] to estimate it." \
  denoise --noise poisson-gaussian --read-noise -1 "$dir/g.txt" "$dir/x.txt"

# The partition picture: the two-halves image under brindel, sh 2, pen 0 keeps
# its four 2x2 squares; 4x4 pixels are drawn 128 x 128 each, so the square
# borders are picture rows and columns 1, 257 and 512, one pixel of yellow
# blended 0.6 over the grey (black on the left, white on the right), and the
# inside of a square shows its grey.
"$cli" brindel --sh 2 --pen 0,0 --lines 0 "$dir/b.pgm" "$dir/w.png" --partition "$dir/part.png" --on input
check "partition picture written" [ -s "$dir/part.png" ]
if command -v octave-cli > /dev/null; then
  got=$(cd "$dir" && octave-cli --norc --no-window-system --quiet --eval '
    p = double(imread("part.png")) / 255; y = 0.6 * [1 0.85 0];
    is = @(r, c, v) max(abs(squeeze(p(r, c, :))(:)'"'"' - v)) < 1 / 255;
    ok = isequal(size(p), [512 512 3]) && is(1, 100, y) && is(257, 100, y) && is(512, 100, y) ...
         && is(256, 100, [0 0 0]) && is(100, 1, y) && is(100, 257, y + 0.4) && is(100, 256, [0 0 0]) ...
         && is(100, 400, [1 1 1]);
    disp(ok)' 2>/dev/null)
  check "partition outlines at the square borders" [ "$got" = 1 ]
fi
check "--on without --partition" refused "dyadfit: --on applies to the picture of --partition FILE" \
  brindel --on input "$dir/b.pgm" "$dir/x.txt"
check "--partition as text refused" refused \
  "dyadfit: --partition needs a colour image file (.png, .tif, ...), not $dir/p.txt" \
  brindel --partition "$dir/p.txt" "$dir/b.pgm" "$dir/x.txt"

# --tile: a 16-bit TIFF in strips and the same in tiles give the same OUT, close
# to the whole image's estimate; what cannot be read or written in parts is refused.
if python3 -c "import numpy" 2> /dev/null; then
  python3 - "$dir" <<'PY'
import struct, sys
import numpy as np
d = sys.argv[1] + "/"
rows, cols = 600, 1000
y, x = np.mgrid[0:rows, 0:cols]
clean = 1000 + 2 * x / 5 + 300 * ((x - 500) ** 2 + (y - 300) ** 2 < 200 ** 2) + 200 * (y > 2 * x - 400)
noisy = np.clip(np.rint(clean + np.random.default_rng(3).normal(0, 20, clean.shape)), 0, 65535).astype("<u2")
np.save(d + "tclean.npy", clean)
def tiff(name, tile=None):  # 16-bit grey, little-endian: strips of 16 rows, or tile x tile tiles
    pieces = ([noisy[r:r + 16] for r in range(0, rows, 16)] if tile is None else
              [np.pad(noisy[r:r + tile, c:c + tile], ((0, max(0, r + tile - rows)), (0, max(0, c + tile - cols))))
               for r in range(0, rows, tile) for c in range(0, cols, tile)])
    out = bytearray(b"II*\0\0\0\0\0"); offsets, counts = [], []
    for p in pieces:
        offsets.append(len(out)); counts.append(p.nbytes); out += np.ascontiguousarray(p).tobytes()
    arrays = len(out); out += struct.pack("<%dI" % len(pieces), *offsets) + struct.pack("<%dI" % len(pieces), *counts)
    where, sizes = (324, 325) if tile else (273, 279)
    tags = sorted([(256, 3, 1, cols), (257, 3, 1, rows), (258, 3, 1, 16), (259, 3, 1, 1), (262, 3, 1, 1),
                   (277, 3, 1, 1), (where, 4, len(pieces), arrays), (sizes, 4, len(pieces), arrays + 4 * len(pieces))]
                  + ([(278, 3, 1, 16)] if tile is None else [(322, 3, 1, tile), (323, 3, 1, tile)]))
    struct.pack_into("<I", out, 4, len(out)); out += struct.pack("<H", len(tags))
    for t, kind, n, v in tags: out += struct.pack("<HHII", t, kind, n, v)
    open(d + name, "wb").write(out + b"\0\0\0\0")
tiff("strips.tif"); tiff("tiles.tif", tile=64)
PY
  "$cli" denoise -q "$dir/strips.tif" "$dir/whole.tif"
  "$cli" denoise -q --tile 256 "$dir/strips.tif" "$dir/t1.tif"
  "$cli" denoise -q --tile 256 "$dir/tiles.tif" "$dir/t2.tif"
  check "--tile reads strips and tiles alike" cmp -s "$dir/t1.tif" "$dir/t2.tif"
  close=$(python3 - "$dir" <<'PY'
import struct, sys
import numpy as np
d = sys.argv[1] + "/"
def read(name):  # an uncompressed 16-bit grey strip TIFF, as libtiff writes it
    b = open(d + name, "rb").read(); at = struct.unpack_from("<I", b, 4)[0]
    tags = {}
    for k in range(struct.unpack_from("<H", b, at)[0]):
        t, kind, n, v = struct.unpack_from("<HHII", b, at + 2 + 12 * k)
        tags[t] = [v] if n == 1 else list(struct.unpack_from("<%dI" % n, b, v))
        if n == 1 and kind == 3: tags[t] = [v & 0xFFFF]
    data = b"".join(b[o:o + c] for o, c in zip(tags[273], tags[279]))
    return np.frombuffer(data, "<u2").reshape(tags[257][0], tags[256][0]).astype(float)
clean = np.load(d + "tclean.npy"); whole, tiled = read("whole.tif"), read("t1.tif")
psnr = lambda e: 10 * np.log10(65535.0 ** 2 / np.mean((e - clean) ** 2))
print(int(abs(psnr(whole) - psnr(tiled)) < 0.15 and np.sqrt(np.mean((whole - tiled) ** 2)) < 5))
PY
)
  check "--tile close to the whole image" [ "$close" = 1 ]
  check "--tile refuses a PNG IN" refused \
    "dyadfit: $dir/c.png: not a TIFF; --tile reads TIFF only, the one format read here in parts" \
    denoise --tile 256 "$dir/c.png" "$dir/x.tif"
  check "--tile refuses a PNG OUT" refused "dyadfit: --tile writes TIFF only (.tif, .tiff): $dir/x.png would be PNG" \
    denoise --tile 256 "$dir/strips.tif" "$dir/x.png"
  check "--tile refuses standard input" refused "dyadfit: --tile reads a TIFF file by name, not standard input" \
    denoise --tile 256 - "$dir/x.tif"
  check "--tile needs a power of two" refused "dyadfit: option --tile needs a power of two from 16 to 65536, not '300'" \
    denoise --tile 300 "$dir/strips.tif" "$dir/x.tif"
  check "--tile needs room inside the margins" refused \
    "dyadfit: --tile 16 leaves no tile inside its margins of 16 pixels: give a power of two above 32" \
    denoise --tile 16 "$dir/strips.tif" "$dir/x.tif"
  check "--tile refuses --partition" refused "dyadfit: --partition is not available with --tile" \
    denoise --tile 256 --partition "$dir/p.png" "$dir/strips.tif" "$dir/x.tif"
  if [ -e "$dir/stack.tif" ]; then
    check "--tile refuses a TIFF of pages" refused "dyadfit: --tile reads a one-page grey or RGB TIFF of 8-, 16- or \
32-bit integer or 32- or 64-bit float samples; $dir/stack.tif has 3 pages" denoise --tile 256 "$dir/stack.tif" "$dir/x.tif"
  fi
  check "no OUT after a refusal" [ ! -e "$dir/x.tif" ]
fi

# A signal stops a run of minutes within seconds: a message, status 128 + signal, no OUT.
# Job control keeps SIGINT of the background run from being ignored.
awk 'BEGIN { srand(7); for (r = 0; r < 512; r++) { row = ""
       for (c = 0; c < 512; c++) row = row (c ? " " : "") (c > 256 ? 110 : 100) + int(rand() * 5); print row } }' \
  > "$dir/n512.txt"
set -m
stop_run() {  # signal [subcommand]: prints "status:message" once the run ended, or "running" after 10 s
  rm -f "$dir/s.txt"
  "$cli" "${2:-brindel}" --lines 100000000 --quiet "$dir/n512.txt" "$dir/s.txt" 2> "$dir/err" &
  local pid=$! waited=0
  sleep 1
  kill -"$1" "$pid"
  while kill -0 "$pid" 2>/dev/null && [ $waited -lt 100 ]; do sleep 0.1; waited=$((waited + 1)); done
  if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; wait "$pid"; echo running; return; fi
  wait "$pid"
  echo "$?:$(cat "$dir/err")"
}
check "SIGINT stops the run" [ "$(stop_run INT)" = "130:dyadfit: Interrupted." ]
check "no output after SIGINT" [ ! -e "$dir/s.txt" ]
check "no partial file after SIGINT" [ -z "$(ls -A "$dir" | grep partial)" ]
check "SIGTERM stops the run" [ "$(stop_run TERM)" = "143:dyadfit: Interrupted." ]
check "no output after SIGTERM" [ ! -e "$dir/s.txt" ]
check "SIGINT stops denoise" [ "$(stop_run INT denoise)" = "130:dyadfit: Interrupted." ]
check "no output after SIGINT of denoise" [ ! -e "$dir/s.txt" ]
set +m

echo "$passes passed, $fails failed"
[ "$fails" -eq 0 ]
