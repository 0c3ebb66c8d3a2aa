#include "drive_plot.h"

#include <algorithm>
#include <cmath>

namespace drive_plot {

namespace {

constexpr int WIDTH = 900, LEFT = 100, RIGHT = 30, TOP = 30;
constexpr int PLOT_WIDTH = WIDTH - LEFT - RIGHT; // one pixel column per decimation bucket
constexpr int PLOT_HEIGHT = 80, BAND = 120;      // a plot and the room for its name
constexpr const char* GRID = "stroke=\"#dddddd\" stroke-width=\"1\"";
constexpr const char* CURVE_COLOUR = "#1f5fbf";
constexpr const char* MARK_COLOUR = "#d9480f";

std::string xml_text(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

// The round step (1, 2 or 5 times a power of ten) that cuts `span` into about `parts`.
double round_step(double span, int parts) {
    const double raw = span / parts;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double factor : {1.0, 2.0, 5.0})
        if (factor * power >= raw * 0.999) return factor * power;
    return 10.0 * power;
}

// Decimals enough to tell two ticks `step` apart.
int decimals(double step) { return step >= 1 ? 0 : static_cast<int>(std::ceil(-std::log10(step))); }

struct time_scale {
    double per_unit;  // ms in one unit of the axis
    const char* name; // the unit's name
};

// Milliseconds for short runs, seconds up to a quarter of an hour, minutes beyond.
time_scale time_unit(s64 span) {
    if (span < 10'000) return {1.0, "ms"};
    if (span < 900'000) return {1'000.0, "s"};
    return {60'000.0, "min"};
}

// The ticks of [low, high] at `step`: the multiples of step inside it.
std::vector<double> ticks(double low, double high, double step) {
    std::vector<double> at;
    for (double k = std::ceil(low / step - 1e-9); k * step <= high + step * 1e-9; k += 1)
        at.push_back(k * step == 0 ? 0 : k * step); // no "-0"
    return at;
}

// One curve's points inside the window, with each pixel column reduced to the value it
// entered with, its lowest and highest values, and the value it left with.
struct decimator {
    std::string points;
    size_t count = 0;
    bool open = false; // a point has been drawn: the curve has a value
    double last_x = 0, last_y = 0;

    void point(double x, double y) {
        if (open && x == last_x && y == last_y) return;
        char text[48];
        std::snprintf(text, sizeof text, "%s%.1f,%.1f", count ? " " : "", x, y);
        points += text;
        ++count;
        last_x = x;
        last_y = y;
        open = true;
    }
    // A column's changes at x: along from the previous value, then through the column's
    // extremes to the value it ends with; at most four points.
    void column(double x, double low, double high, double last) {
        if (open) point(x, last_y);
        if (last == high) {
            point(x, low);
        } else if (last == low) {
            point(x, high);
        } else {
            point(x, low);
            point(x, high);
        }
        point(x, last);
    }
};

void write_plot(std::FILE* out, const curve& c, int y0, s64 from, s64 to, s64 end_ms,
                const std::vector<double>& time_ticks) {
    const auto& steps = *c.steps;
    const double span = static_cast<double>(to - from);
    auto x_of = [&](s64 t) { return LEFT + PLOT_WIDTH * (static_cast<double>(t - from) / span); };
    auto column_of = [&](s64 t) {
        return std::min<s64>(PLOT_WIDTH - 1, (t - from) * PLOT_WIDTH / (to - from));
    };
    // The first step drawn: the last one at or before the window's start, if any.
    size_t first = 0;
    while (first + 1 < steps.size() && steps[first + 1].first <= from) ++first;
    size_t past = first;
    while (past < steps.size() && steps[past].first <= to && end_ms > from) ++past;
    s32 low = 0, high = 0;
    for (size_t k = first; k < past; ++k) {
        low = k == first ? steps[k].second : std::min(low, steps[k].second);
        high = k == first ? steps[k].second : std::max(high, steps[k].second);
    }
    const double step = round_step(high > low ? static_cast<double>(high) - low : 1.0, 4);
    const double value_step = std::max(step, 1.0);
    double bottom = std::floor(low / value_step) * value_step;
    double top = std::ceil(high / value_step) * value_step;
    if (top <= bottom) { // one value: in the middle, so that it is not taken for the axis
        bottom -= value_step;
        top += value_step;
    }
    auto y_of = [&](double v) {
        return y0 + PLOT_HEIGHT - PLOT_HEIGHT * ((v - bottom) / (top - bottom));
    };

    const std::string name = xml_text(c.name);
    std::fprintf(out, "<g class=\"plot\">\n<title>%s</title>\n", name.c_str());
    std::fprintf(out, "<text x=\"%d\" y=\"%d\" font-weight=\"bold\">%s</text>\n", LEFT, y0 - 10,
                 name.c_str());
    // The grid and the ticks: the value axis's own, the time axis's shared by all plots.
    const std::vector<double> value_ticks = ticks(bottom, top, value_step);
    std::fprintf(out, "<g class=\"grid\" %s>\n", GRID);
    for (double v : value_ticks)
        std::fprintf(out, "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\"/>\n", LEFT, y_of(v),
                     LEFT + PLOT_WIDTH, y_of(v));
    for (double t : time_ticks)
        std::fprintf(out, "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\"/>\n", t, y0, t,
                     y0 + PLOT_HEIGHT);
    std::fprintf(out, "</g>\n<g class=\"ticks\" stroke=\"black\">\n");
    for (double v : value_ticks)
        std::fprintf(out, "<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\"/>\n", LEFT - 4,
                     y_of(v), LEFT, y_of(v));
    for (double t : time_ticks)
        std::fprintf(out, "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\"/>\n", t,
                     y0 + PLOT_HEIGHT, t, y0 + PLOT_HEIGHT + 4);
    std::fprintf(out, "</g>\n<g class=\"tick-labels\" text-anchor=\"end\">\n");
    for (double v : value_ticks)
        std::fprintf(out, "<text x=\"%d\" y=\"%.1f\">%.*f</text>\n", LEFT - 7, y_of(v) + 4,
                     decimals(value_step), v);
    std::fprintf(out, "</g>\n");
    std::fprintf(out,
                 "<text class=\"unit\" x=\"%d\" y=\"%d\" text-anchor=\"middle\" "
                 "transform=\"rotate(-90 %d %d)\">%s</text>\n",
                 LEFT - 75, y0 + PLOT_HEIGHT / 2, LEFT - 75, y0 + PLOT_HEIGHT / 2, c.unit);
    std::fprintf(out, "<path d=\"M%d %dV%dH%d\" fill=\"none\" stroke=\"black\"/>\n", LEFT, y0,
                 y0 + PLOT_HEIGHT, LEFT + PLOT_WIDTH);

    // The curve, a column at a time; where the window starts inside a value, at its edge.
    decimator d;
    std::string marks;
    s64 column = -1, marked = -1; // the column drawn, the last one with a call's mark
    double column_x = 0, low_y = 0, high_y = 0, last_y = 0;
    auto flush = [&] {
        if (column >= 0) d.column(column_x, low_y, high_y, last_y);
    };
    for (size_t k = first; k < past; ++k) {
        const s64 t = std::max(steps[k].first, from);
        const double y = y_of(steps[k].second);
        if (column_of(t) != column) {
            flush();
            column = column_of(t);
            column_x = x_of(t);
            low_y = high_y = y;
        }
        if (c.marks_calls && steps[k].first >= from && column != marked) {
            char mark[64];
            std::snprintf(mark, sizeof mark, "M%.1f %dv%d", column_x, y0, PLOT_HEIGHT);
            marks += mark;
            marked = column;
        }
        low_y = std::max(low_y, y); // screen coordinates grow downwards
        high_y = std::min(high_y, y);
        last_y = y;
    }
    flush();
    const s64 stop = std::min(end_ms, to);
    if (d.open && x_of(stop) > column_x) d.point(x_of(stop), d.last_y);
    std::fprintf(out,
                 "<polyline class=\"curve\" fill=\"none\" stroke=\"%s\" stroke-width=\"1.5\" "
                 "points=\"%s\"/>\n",
                 CURVE_COLOUR, d.points.c_str());
    if (!marks.empty())
        std::fprintf(out,
                     "<path class=\"calls\" d=\"%s\" stroke=\"%s\" stroke-width=\"1\" "
                     "opacity=\"0.6\"/>\n",
                     marks.c_str(), MARK_COLOUR);
    if (c.calls == 1 && !steps.empty() && steps[0].first >= from && steps[0].first <= to)
        std::fprintf(out, "<circle class=\"call\" cx=\"%.1f\" cy=\"%.1f\" r=\"4\" fill=\"%s\"/>\n",
                     x_of(steps[0].first), y_of(steps[0].second), MARK_COLOUR);
    std::fprintf(out, "</g>\n");
}

} // namespace

void write_svg(std::FILE* out, const std::vector<curve>& curves, s64 from, s64 to, s64 end_ms) {
    if (to <= from) to = from + 1;
    const int bands = static_cast<int>(curves.empty() ? 1 : curves.size());
    const int axis_y = TOP + (bands - 1) * BAND + 20 + PLOT_HEIGHT; // the last plot's bottom
    const int height = axis_y + 50;
    std::fprintf(out,
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                 "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
                 "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n"
                 "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
                 WIDTH, height, WIDTH, height);
    if (curves.empty())
        std::fprintf(out, "<text x=\"%d\" y=\"20\">no drive function was called</text>\n", LEFT);

    const time_scale unit = time_unit(to - from);
    const double span = static_cast<double>(to - from);
    const double step = std::max(round_step(span / unit.per_unit, 8), 1.0 / unit.per_unit);
    std::vector<double> at, label;
    for (double v : ticks(static_cast<double>(from) / unit.per_unit,
                          static_cast<double>(to) / unit.per_unit, step)) {
        at.push_back(LEFT + PLOT_WIDTH * ((v * unit.per_unit - static_cast<double>(from)) / span));
        label.push_back(v);
    }
    for (size_t i = 0; i < curves.size(); ++i)
        write_plot(out, curves[i], TOP + static_cast<int>(i) * BAND + 20, from, to, end_ms, at);

    std::fprintf(out, "<g class=\"time-axis\" text-anchor=\"middle\">\n");
    for (size_t i = 0; i < at.size(); ++i)
        std::fprintf(out, "<text x=\"%.1f\" y=\"%d\">%.*f</text>\n", at[i], axis_y + 18,
                     decimals(step), label[i]);
    std::fprintf(out, "<text class=\"unit\" x=\"%d\" y=\"%d\">emulated time (%s)</text>\n</g>\n",
                 LEFT + PLOT_WIDTH / 2, axis_y + 38, unit.name);
    std::fprintf(out, "</svg>\n");
}

} // namespace drive_plot
