#!/bin/sh
# Draws the updater's pictures and writes them next to this script:
#   logo.jpg, logo-150.jpg, logo-200.jpg  word mark at 150x50, 225x75, 300x100
#   button.ico                            chasing arrows, 32/48/64 px
#   program.ico                           monogram with wrench, 16/24/32/48 px
#   program-icon/icon-*.bin, program-icon.rc
#                                         the same program icon as raw
#                                         resources with fixed image ids
# Needs ImageMagick and python3. The results are committed, so a build never
# runs this script.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"

font=DejaVu-Sans-Bold

# --- Logo: green word mark between orange brackets on the main window's grey.
# Every size is drawn from the same geometry (scale factor s), never resampled,
# so the high-DPI variants stay sharp.
logo() { # $1 = scale in percent, $2 = output
    s=$1
    w=$((150 * s / 100)); h=$((50 * s / 100))
    sw=$(( (3 * s + 50) / 100 ))
    l=$((12 * s / 100)); r=$((138 * s / 100)); t=$((9 * s / 100)); b=$((41 * s / 100)); k=$((8 * s / 100))
    pt=$((22 * s / 100))
    convert -size ${w}x${h} xc:'rgb(48,48,48)' \
        -stroke none -fill 'rgb(255,140,0)' \
        -draw "rectangle $l,$t $((l + sw - 1)),$b" \
        -draw "rectangle $l,$t $((l + k)),$((t + sw - 1))" \
        -draw "rectangle $l,$((b - sw + 1)) $((l + k)),$b" \
        -draw "rectangle $((r - sw + 1)),$t $r,$b" \
        -draw "rectangle $((r - k)),$t $r,$((t + sw - 1))" \
        -draw "rectangle $((r - k)),$((b - sw + 1)) $r,$b" \
        -fill 'rgb(40,200,70)' -font $font -pointsize $pt \
        -gravity center -annotate +0+0 'COFREX' \
        -type TrueColor png24:logo-$s.png
    # 4:4:4 sampling and top quality: the blocks that hold only background
    # decode to exactly 48,48,48, so the picture shows no edge on the window.
    convert logo-$s.png -sampling-factor 1x1 -quality 100 "$2"
}
logo 100 "$here/logo.jpg"
logo 150 "$here/logo-150.jpg"
logo 200 "$here/logo-200.jpg"

# --- Button picture: two green arrows chasing each other round a circle.
python3 - <<'EOF' > arrows.mvg
import math
c, r, sw = 128, 90, 22
out = ["viewbox 0 0 256 256", "stroke-linecap butt"]
for start in (200, 20):
    a0, a1 = start, start + 135
    arc = [(c + r * math.cos(math.radians(a)), c + r * math.sin(math.radians(a)))
           for a in range(a0, a1 + 1, 5)]
    out.append(f"fill none stroke rgb(30,170,60) stroke-width {sw} path 'M " +
               " L ".join(f"{x:.1f},{y:.1f}" for x, y in arc) + "'")
    # arrow head at the end of the arc, pointing clockwise
    t = math.radians(a1)
    px, py = c + r * math.cos(t), c + r * math.sin(t)
    tx, ty = -math.sin(t), math.cos(t)  # clockwise tangent (y down)
    nx, ny = math.cos(t), math.sin(t)
    half, length = 30, 44
    pts = [(px + nx * half, py + ny * half), (px - nx * half, py - ny * half),
           (px + tx * length, py + ty * length)]
    out.append("stroke none fill rgb(30,170,60) polygon " +
               " ".join(f"{x:.1f},{y:.1f}" for x, y in pts))
print("\n".join(out))
EOF
convert -size 256x256 xc:none -draw "$(cat arrows.mvg)" arrows-256.png

# --- Program icon: grey letter monogram with a wrench across it.
python3 - <<'EOF' > wrench.mvg
import math
out = ["viewbox 0 0 256 256"]
# handle from lower left to upper right, head ring at the upper end
out.append("stroke rgb(60,60,60) stroke-width 34 stroke-linecap round line 52,204 160,96")
out.append("stroke rgb(200,200,200) stroke-width 22 stroke-linecap round line 52,204 160,96")
out.append("stroke rgb(60,60,60) stroke-width 6 fill rgb(200,200,200) circle 178,78 178,124")
print("\n".join(out))
EOF
convert -size 256x256 xc:none \
    -fill 'rgb(120,120,120)' -stroke 'rgb(70,70,70)' -strokewidth 6 \
    -draw 'roundrectangle 8,8 247,247 40,40' \
    -fill 'rgb(215,215,215)' -stroke none -font $font -pointsize 190 \
    -gravity center -annotate -10+4 'C' -gravity northwest \
    -draw "$(cat wrench.mvg)" \
    -fill none -stroke none \
    \( -size 256x256 xc:none -fill black -draw 'polygon 178,78 250,40 250,116' \) \
    -compose DstOut -composite monogram-256.png
# The jaw of the wrench: cut a notch out of the head ring.

for n in 32 48 64; do
    convert arrows-256.png -filter Lanczos -resize ${n}x${n} -depth 8 rgba:arrows-$n.rgba
done
for n in 16 24 32 48; do
    convert monogram-256.png -filter Lanczos -resize ${n}x${n} -depth 8 rgba:monogram-$n.rgba
done

mkdir -p "$here/program-icon"
python3 - "$here" <<'EOF'
import os, struct, sys
here = sys.argv[1]

def dib(n, rgba):
    """24-bit colour with a 1-bit AND mask, bottom-up, as icons carry them."""
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 24, 0, 0, 0, 0, 0, 0)
    xor_stride = (n * 3 + 3) & ~3
    and_stride = ((n + 31) // 32) * 4
    xor, mask = bytearray(), bytearray()
    for y in reversed(range(n)):
        row, bits = bytearray(), bytearray(and_stride)
        for x in range(n):
            r, g, b, a = rgba[(y * n + x) * 4:(y * n + x) * 4 + 4]
            if a < 128:
                row += b"\0\0\0"
                bits[x // 8] |= 0x80 >> (x % 8)
            else:
                row += bytes((b, g, r))
        row += bytes(xor_stride - len(row))
        xor += row
        mask += bits
    return header + bytes(xor) + bytes(mask)

def images(prefix, sizes):
    out = []
    for n in sizes:
        with open(f"{prefix}-{n}.rgba", "rb") as f:
            out.append((n, dib(n, f.read())))
    return out

def write_ico(path, imgs):
    head = struct.pack("<HHH", 0, 1, len(imgs))
    offset = 6 + 16 * len(imgs)
    entries, blobs = b"", b""
    for n, data in imgs:
        entries += struct.pack("<BBBBHHII", n % 256, n % 256, 0, 0, 1, 24, len(data), offset)
        offset += len(data)
        blobs += data
    with open(path, "wb") as f:
        f.write(head + entries + blobs)

write_ico(os.path.join(here, "button.ico"), images("arrows", (32, 48, 64)))
prog = images("monogram", (16, 24, 32, 48))
write_ico(os.path.join(here, "program.ico"), prog)

# windres numbers the images of an ICON statement itself; the program icon
# must carry image ids 30001-30004, so its images go in as raw RT_ICON
# resources under a directory built here.
group = struct.pack("<HHH", 0, 1, len(prog))
rc = ["// Generated by make-pictures.sh: the program icon, group 1,",
      "// images 30001-30004. Include with the assets folder on the include path."]
for i, (n, data) in enumerate(prog):
    ident = 30001 + i
    name = f"icon-{n}.bin"
    with open(os.path.join(here, "program-icon", name), "wb") as f:
        f.write(data)
    group += struct.pack("<BBBBHHIH", n % 256, n % 256, 0, 0, 1, 24, len(data), ident)
    rc.append(f'{ident} 3 "program-icon/{name}"')
with open(os.path.join(here, "program-icon", "group.bin"), "wb") as f:
    f.write(group)
rc.append('1 14 "program-icon/group.bin"')
with open(os.path.join(here, "program-icon.rc"), "w") as f:
    f.write("\n".join(rc) + "\n")
EOF

# The background of the logo must come back exactly as 48,48,48 wherever an
# 8x8 block holds nothing but background; the corners are such blocks.
for f in logo.jpg logo-150.jpg logo-200.jpg; do
    for at in 0,0 0,-1 -1,0 -1,-1; do
        x=${at%,*}; y=${at#*,}
        c=$(convert "$here/$f" -format "%[pixel:p{$( [ $x = -1 ] && echo 'w-1' || echo 0 ),$( [ $y = -1 ] && echo 'h-1' || echo 0 )}]" info:)
        case $c in
            "srgb(48,48,48)") ;;
            *) echo "$f: corner $at is $c, not 48,48,48" >&2; exit 1 ;;
        esac
    done
done
echo "pictures written to $here"
