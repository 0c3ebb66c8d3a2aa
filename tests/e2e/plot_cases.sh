#!/usr/bin/env bash
# The picture and the GTKWave save file of an emulated hour: refused option combinations,
# the picture's structure read with an XML parser (round ticks, units, call marks, the
# bound that decimation keeps, a window), and the save file opened by GTKWave itself.
set -u
: "${MIRT_LINKER:?}" "${MIRT_EMULATOR:?}" "${MIRT_JAVA_DIR:?}" "${MIRT_WORK_DIR:?}"
work=$MIRT_WORK_DIR/plots
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

javac --release 17 -g -d . "$MIRT_JAVA_DIR/programs/Hour.java" || exit 1
"$MIRT_LINKER" Hour.class hour.prg >/dev/null || exit 1

# options | the reason on standard error; each is refused (status 1) and writes nothing
refusals=(
    '-gtkw a.gtkw|^mirt_emulator: -gtkw needs -vcd: the save file shows the dump$'
    '-svg-window 0:10|^mirt_emulator: -svg-window needs -svg: it chooses the picture.s time$'
    '-svg a.svg -svg-window 10:10|-svg-window needs FROM:TO .*, got "10:10"$'
    '-svg a.svg -svg-window 10|got "10"$'
    '-svg a.svg -svg-window -5:10|got "-5:10"$'
    '-svg a.svg -svg-window 5:1e3|got "5:1e3"$'
    '-vcd a.vcd -gtkw a.gtkw -gtkw b.gtkw|^mirt_emulator: -gtkw is given twice$'
)
for row in "${refusals[@]}"; do
    IFS='|' read -r options pattern <<<"$row"
    # shellcheck disable=SC2086 # the options are words
    "$MIRT_EMULATOR" -q $options hour.prg >out.txt 2>err.txt
    got=$?
    [ "$got" = 1 ] || fail "$options: status $got, not 1"
    head -n 1 err.txt | grep -Eq -- "$pattern" || fail "$options: $(head -n 1 err.txt)"
    ls a.* b.* 2>/dev/null | grep -q . && fail "$options: a file was written"
done

export SOURCE_DATE_EPOCH=0 # the two dumps compared below have one date
hour=(-q -max-ms 3600000)
"$MIRT_EMULATOR" "${hour[@]}" -vcd hour.vcd -svg hour.svg hour.prg >/dev/null
[ $? = 2 ] || fail "hour: status not 2"
"$MIRT_EMULATOR" "${hour[@]}" -vcd both.vcd -gtkw hour.gtkw -svg window.svg -svg-window 60000:62500 hour.prg >/dev/null
[ $? = 2 ] || fail "hour with -gtkw and -svg-window: status not 2"
cmp -s hour.vcd both.vcd || fail "-gtkw changed the dump"

python3 - <<'PY' || fail "svg: see above"
import math, os, re, xml.etree.ElementTree as ET
ns = {"s": "http://www.w3.org/2000/svg"}
LEFT, WIDTH = 100, 770  # the plot area's left edge and width in the picture

def round_steps(labels):
    values = [float(t) for t in labels]
    gaps = {round(b - a, 9) for a, b in zip(values, values[1:])}
    assert len(values) >= 3 and len(gaps) == 1, values
    gap = gaps.pop()
    mantissa = gap / 10 ** math.floor(math.log10(gap))
    assert any(abs(mantissa - m) < 1e-6 for m in (1, 2, 5)), values

def picture(name):
    root = ET.parse(name).getroot()
    plots = {p.find("s:title", ns).text: p for p in root.findall("s:g[@class='plot']", ns)}
    axis = root.find("s:g[@class='time-axis']", ns)
    labels = [t.text for t in axis.findall("s:text", ns) if t.get("class") != "unit"]
    round_steps(labels)
    for title, p in plots.items():
        assert len(p.find("s:g[@class='grid']", ns)) >= 4, title
        round_steps([t.text for t in p.find("s:g[@class='tick-labels']", ns)])
        assert p.find("s:text[@class='unit']", ns).text, title
    return plots, labels, axis.find("s:text[@class='unit']", ns).text

def points(plot):
    text = plot.find("s:polyline", ns).get("points")
    return [tuple(map(float, p.split(","))) for p in text.split()]

plots, labels, unit = picture("hour.svg")
assert os.path.getsize("hour.svg") < 300_000, os.path.getsize("hour.svg")
assert sorted(plots) == ["GetMillis", "SendInt", "SetLED", "StartDrive", "StopDrive"], sorted(plots)
assert (labels[0], labels[-1], unit) == ("0", "60", "emulated time (min)"), (labels, unit)
for title, p in plots.items():  # at most four points in each pixel column, and one to end
    assert len(points(p)) <= 4 * WIDTH + 1, (title, len(points(p)))
assert len(points(plots["SendInt"])) > 2 * WIDTH, "the sawtooth lost its columns"
units = {t: p.find("s:text[@class='unit']", ns).text for t, p in plots.items()}
assert units["GetMillis"] == "ms" and units["StartDrive"] == units["StopDrive"] == "calls", units
for function in ("StartDrive", "StopDrive"):  # once a minute each: every call marked
    marks = plots[function].find("s:path[@class='calls']", ns).get("d")
    assert len(re.findall("M", marks)) == 60, (function, marks[:80])
assert len(plots["SetLED"].findall("s:circle[@class='call']", ns)) == 1, "the single call"

plots, labels, unit = picture("window.svg")
assert (labels[0], labels[-1], unit) == ("60000", "62500", "emulated time (ms)"), (labels, unit)
saw = points(plots["SendInt"])
assert all(LEFT <= x <= LEFT + WIDTH for x, _ in saw) and len({y for _, y in saw}) == 10, saw
PY

# GTKWave opens the dump with the save file: every variable as a signed analogue step
# plot (flags 0x8424), zoomed so that the hour fills the wave pane of the window it asks for.
cat >list.tcl <<'TCL'
puts "zoom [gtkwave::getZoomFactor]"
for {set i 0} {$i < [gtkwave::getTotalNumTraces]} {incr i} {
    puts "trace [gtkwave::getTraceNameFromIndex $i] [gtkwave::getTraceFlagsFromIndex $i]"
}
gtkwave::/File/Quit
TCL
timeout 60 xvfb-run -a gtkwave -S list.tcl hour.vcd hour.gtkw >gtkwave.txt 2>&1 ||
    fail "gtkwave: $(tail -n 3 gtkwave.txt)"
grep '^trace [A-Za-z]' gtkwave.txt | sort >traces.txt
sed -n 's/^\$var integer 32 [^ ]* \([^ ]*\) \$end$/trace \1 33828/p' hour.vcd | sort | diff - traces.txt >/dev/null ||
    fail "gtkwave traces: $(diff <(sed -n 's/^\$var integer 32 [^ ]* \([^ ]*\) \$end$/\1/p' hour.vcd | sort) traces.txt)"
zoom=$(sed -n 's/^zoom //p' gtkwave.txt)
python3 -c "import sys; w = 3600100 * 2 ** float(sys.argv[1]); sys.exit(not 700 <= w <= 800)" "${zoom:-x}" ||
    fail "gtkwave zoom $zoom does not fit the hour into the wave pane"

[ "$failures" = 0 ] && echo "all cases passed"
exit $((failures > 0))
