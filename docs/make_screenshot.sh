#!/usr/bin/env bash
# Takes docs/screenshot.png: the window running on the bundled speech sample,
# on a virtual screen (Xvfb), cut to the window's 630 x 750 pixels.
#   docs/make_screenshot.sh [path/to/squeakbox]
set -euo pipefail
cd "$(dirname "$0")/.."
squeakbox=$(realpath "${1:-build/app/squeakbox}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cat > "$work/shoot.sh" <<INNER
#!/usr/bin/env bash
"$squeakbox" --capture-file resources/samples/speech.wav --playback-file "$work/out.wav" &
pid=\$!
sleep 3   # the speech is under way: the bar moves
import -window root "$work/screen.png"
kill -TERM \$pid
wait \$pid
INNER
chmod +x "$work/shoot.sh"
# Without a window manager the window sits where it centres itself:
# ((1280 - 630) / 2, (1024 - 750) / 2).
xvfb-run -a -s "-screen 0 1280x1024x24" "$work/shoot.sh"
convert "$work/screen.png" -crop 630x750+325+137 +repage \
  -define png:exclude-chunk=date,time,tIME docs/screenshot.png
echo "docs/screenshot.png"
