#include "alarm_output.h"

#include "log_platform.h"

#include <charconv>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace logbook {

namespace {

// Events that wait for a rule's command; a rule that flaps faster than its command runs drops
// the rest, and says so.
constexpr std::size_t MOST_WAITING = 64;
// How long the end of a run waits for the commands still queued.
constexpr auto END_WAIT = std::chrono::seconds(10);

std::string number_text(double value)
{
    char text[64];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

} // namespace

// One rule's commands: its thread runs them one after the other.
struct CommandQueue {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::vector<std::string>> waiting; // each command's environment
    bool running = false;
    bool ending = false;
    int dropped = 0;
    std::thread thread;
};

struct AlarmCommands {
    std::string command;
    std::vector<std::unique_ptr<CommandQueue>> queues;
    std::mutex said_lock;
    std::vector<std::string> said; // failures, told by the loop's thread
};

namespace {

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
        const int status = run_shell_command(commands.command, environment);
        hold.lock();
        queue.running = false;
        queue.changed.notify_all();
        if (status != 0) {
            const std::lock_guard<std::mutex> told(commands.said_lock);
            commands.said.push_back("the command of the alarm " + rule +
                                    (status < 0
                                         ? " could not be started"
                                         : " failed (exit status " + std::to_string(status) + ")"));
        }
    }
}

void queue_command(AlarmCommands& commands, const RunView& view, const AlarmEvent& event)
{
    CommandQueue& queue = *commands.queues[static_cast<std::size_t>(event.alarm)];
    const std::string& rule = view.alarms[static_cast<std::size_t>(event.alarm)].rule.text;
    const std::lock_guard<std::mutex> hold(queue.lock);
    if (queue.waiting.size() >= MOST_WAITING) {
        ++queue.dropped;
        return;
    }
    queue.waiting.push_back({"OHM_ALARM=" + rule,
                             std::string("OHM_STATE=") + (event.raised ? "raised" : "cleared"),
                             "OHM_METER=" + event.meter, "OHM_VALUE=" + number_text(event.value),
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
        tell(terminal, line);
    }
}

// The commands still waiting run, for END_WAIT at most; a command that hangs is left running.
void end_queues(AlarmCommands& commands, const RunView& view, Terminal& terminal)
{
    const auto until = std::chrono::steady_clock::now() + END_WAIT;
    for (std::size_t rule = 0; rule < commands.queues.size(); ++rule) {
        CommandQueue& queue = *commands.queues[rule];
        std::unique_lock<std::mutex> hold(queue.lock);
        queue.ending = true;
        queue.changed.notify_all();
        const bool done = queue.changed.wait_until(
            hold, until, [&] { return queue.waiting.empty() && !queue.running; });
        if (queue.dropped > 0) {
            tell(terminal, "the alarm " + view.alarms[rule].rule.text + " came " +
                               std::to_string(queue.dropped) + " times while its command was busy");
        }
        hold.unlock();
        if (queue.thread.joinable()) {
            if (done) {
                queue.thread.join();
            } else {
                queue.thread.detach();
            }
        }
    }
}

} // namespace

std::shared_ptr<AlarmCommands> new_alarm_commands(const std::string& command, std::size_t rules)
{
    auto commands = std::make_shared<AlarmCommands>();
    commands->command = command;
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
            tell(terminal, alarm_line(view, event));
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
