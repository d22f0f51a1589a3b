#include "alarm_output.h"

#include "log_platform.h"

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace logbook {

namespace {

using Steady = std::chrono::steady_clock;

// Events that wait for a rule's command; past that the oldest go, so that the last command run
// is always that of the rule's latest state.
constexpr std::size_t MOST_WAITING = 64;
// At the end of a run, how long a command still running is given before it is ended.
constexpr auto END_GRACE = std::chrono::seconds(2);
// How often a running command's time limit, and the end of the run, are looked at.
constexpr auto LOOK_EVERY = std::chrono::milliseconds(100);

std::string seconds_text(double seconds)
{
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, seconds).ptr;
    return std::string(text, end);
}

std::string counted(int count, const std::string& one, const std::string& several)
{
    return std::to_string(count) + " " + (count == 1 ? one : several);
}

} // namespace

// One rule's commands: its thread runs them one after the other.
struct CommandQueue {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<std::string>> waiting; // each command's environment
    bool running = false;
    bool ending = false;       // the run ends: nothing more waits
    Steady::time_point end_by; // with `ending`: when a command still running is ended
    int dropped = 0;           // the oldest events, while the command was busy
    int not_started = 0;       // at the end of the run
    std::thread thread;
};

struct AlarmCommands {
    std::string command;
    double time_limit_s = 0.0;
    std::vector<std::unique_ptr<CommandQueue>> queues;
    std::mutex said_lock;
    std::vector<std::string> said; // failures, told by the loop's thread
};

namespace {

std::string end_text(const CommandEnd& end)
{
    if (end.signal != 0) {
        return "was killed by signal " + std::to_string(end.signal);
    }
    return end.status == 0 ? "" : "failed (exit status " + std::to_string(end.status) + ")";
}

// Runs one command until it ends, its time is up or the end of the run has given it its
// grace; what there is to say of it.
std::string run_command(const AlarmCommands& commands, CommandQueue& queue,
                        const std::vector<std::string>& environment)
{
    ChildProcess child;
    if (!start_command(commands.command, environment, child)) {
        return "could not be started";
    }
    const Steady::time_point limit =
        Steady::now() + std::chrono::duration_cast<Steady::duration>(
                            std::chrono::duration<double>(commands.time_limit_s));
    for (;;) {
        Steady::time_point end_by = Steady::time_point::max();
        {
            const std::lock_guard<std::mutex> hold(queue.lock);
            end_by = queue.ending ? queue.end_by : end_by;
        }
        const Steady::time_point now = Steady::now();
        if (now >= limit || now >= end_by) {
            end_command(child);
            return (now >= limit ? "took longer than " + seconds_text(commands.time_limit_s) + " s"
                                 : "was still running " + std::to_string(END_GRACE.count()) +
                                       " s after the end of the run") +
                   " and was ended, with the processes it started";
        }
        const auto wait =
            std::min(LOOK_EVERY,
                     std::chrono::ceil<std::chrono::milliseconds>(std::min(limit, end_by) - now));
        CommandEnd end;
        if (wait_for_command(child, wait, end)) {
            return end_text(end);
        }
    }
}

void run_queue(AlarmCommands& commands, CommandQueue& queue, const std::string& rule)
{
    std::unique_lock<std::mutex> hold(queue.lock);
    for (;;) {
        queue.changed.wait(hold, [&] { return queue.ending || !queue.waiting.empty(); });
        if (queue.waiting.empty()) {
            return;
        }
        const std::vector<std::string> environment = std::move(queue.waiting.front());
        queue.waiting.pop_front();
        queue.running = true;
        hold.unlock();
        const std::string said = run_command(commands, queue, environment);
        hold.lock();
        queue.running = false;
        if (!said.empty()) {
            const std::lock_guard<std::mutex> told(commands.said_lock);
            commands.said.push_back("the command of the alarm " + rule);
            commands.said.back().append(" ").append(said);
        }
    }
}

void queue_command(AlarmCommands& commands, const RunView& view, const AlarmEvent& event)
{
    CommandQueue& queue = *commands.queues[static_cast<std::size_t>(event.alarm)];
    const std::string& rule = view.alarms[static_cast<std::size_t>(event.alarm)].rule.text;
    const std::lock_guard<std::mutex> hold(queue.lock);
    if (queue.waiting.size() >= MOST_WAITING) {
        queue.waiting.pop_front();
        ++queue.dropped;
    }
    queue.waiting.push_back({"OHM_ALARM=" + rule,
                             std::string("OHM_STATE=") + (event.raised ? "raised" : "cleared"),
                             "OHM_METER=" + event.meter, "OHM_VALUE=" + event.value_text,
                             "OHM_UNIT=" + event.unit, "OHM_TIME=" + event.time});
    if (!queue.thread.joinable()) {
        queue.thread = std::thread([&commands, &queue, rule] { run_queue(commands, queue, rule); });
    }
    queue.changed.notify_all();
}

void tell_failures(AlarmCommands& commands, Terminal& terminal)
{
    std::vector<std::string> said;
    {
        const std::lock_guard<std::mutex> hold(commands.said_lock);
        said.swap(commands.said);
    }
    for (const std::string& line : said) {
        tell(terminal, Severity::warning, line);
    }
}

// The commands waiting behind a running one are dropped; a rule whose command is not running
// has its next one on the way, which starts. What still runs after END_GRACE is ended.
void end_queues(AlarmCommands& commands, const RunView& view, Terminal& terminal)
{
    const Steady::time_point end_by = Steady::now() + END_GRACE;
    for (const auto& queue : commands.queues) {
        const std::lock_guard<std::mutex> hold(queue->lock);
        const std::size_t kept =
            queue->running ? 0 : std::min<std::size_t>(queue->waiting.size(), 1);
        queue->not_started = static_cast<int>(queue->waiting.size() - kept);
        queue->waiting.resize(kept);
        queue->ending = true;
        queue->end_by = end_by;
        queue->changed.notify_all();
    }
    for (std::size_t rule = 0; rule < commands.queues.size(); ++rule) {
        CommandQueue& queue = *commands.queues[rule];
        if (queue.thread.joinable()) {
            queue.thread.join();
        }
        const std::string alarm = "the alarm " + view.alarms[rule].rule.text + ": ";
        if (queue.dropped > 0) {
            tell(terminal, Severity::warning,
                 alarm +
                     (queue.dropped == 1
                          ? "its oldest waiting event"
                          : "its " + std::to_string(queue.dropped) + " oldest waiting events") +
                     " dropped while its command was busy");
        }
        if (queue.not_started > 0) {
            tell(terminal, Severity::warning,
                 alarm + counted(queue.not_started, "command", "commands") +
                     " not started at the end of the run");
        }
    }
}

} // namespace

std::shared_ptr<AlarmCommands> new_alarm_commands(const std::string& command, std::size_t rules,
                                                  double time_limit_s)
{
    auto commands = std::make_shared<AlarmCommands>();
    commands->command = command;
    commands->time_limit_s = time_limit_s;
    for (std::size_t rule = 0; rule < rules; ++rule) {
        commands->queues.push_back(std::make_unique<CommandQueue>());
    }
    return commands;
}

std::string alarm_line(const RunView& view, const AlarmEvent& event)
{
    const Alarm& alarm = view.alarms[static_cast<std::size_t>(event.alarm)];
    const std::string value = alarm.rule.lost ? "lost for " + fixed_text(event.value, 1) + " s"
                                              : si_text(event.value, event.unit);
    return event.time + " alarm " + alarm.rule.text + (event.raised ? " raised: " : " cleared: ") +
           event.meter + " " + value;
}

Output alarm_output(AlarmCommands& commands, Terminal& terminal)
{
    Output output;
    output.take = [&commands, &terminal](const RunView& view, const RecordNews& news) {
        for (const AlarmEvent& event : news.alarms) {
            tell(terminal, event.raised ? Severity::warning : Severity::info,
                 alarm_line(view, event));
            if (!commands.command.empty()) {
                queue_command(commands, view, event);
            }
        }
        tell_failures(commands, terminal);
        return true;
    };
    output.finish = [&commands, &terminal](const RunView& view) {
        end_queues(commands, view, terminal);
        tell_failures(commands, terminal);
        return true;
    };
    return output;
}

} // namespace logbook
