// ohmlog's chart: value over elapsed time as SVG, one panel per base unit met during the run,
// drawn from the bucketed series. Each bucket is drawn from its smallest to its largest value
// and joined to the next by a line; an overload or a missing reading breaks the line and is
// marked. No I/O here.
#pragma once

#include "log_series.h"

#include <string>

namespace logbook {

std::string render_plot(const Chart& chart);

// Round steps for an axis: 1, 2 or 5 times a power of ten, about `target` of them over `span`.
double nice_step(double span, int target);

// An axis label in the prefix that suits the axis (chosen from its largest magnitude), with as
// many decimals as the step needs: "-800 mV", "1.25 kOhm".
std::string axis_label(double value, double largest, double step, const std::string& unit);

} // namespace logbook
