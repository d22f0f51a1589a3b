#include "plot_output.h"

#include "log_plot.h"

namespace logbook {

Output plot_output(Files& files)
{
    Output output;
    output.take = [](const RunView&, const RecordNews&) { return true; };
    output.finish = [&files](const RunView& view) {
        return files.plot == nullptr || put_plot(files, render_plot(view));
    };
    return output;
}

} // namespace logbook
