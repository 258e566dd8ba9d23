#pragma once
// One day's steps of an alarm, read from that day's system and traffic logs.
// Works on the files' text only; the logs are matched by their line layouts.
#include <string>
#include <string_view>
#include <vector>

namespace kelvarix::trace {

struct Step {
    std::string time;  // HH:NN:SS
    int order = 0;     // an alarm's usual order of steps, for steps of one second
    std::string text;
    std::size_t position = 0;  // where in its log it was read
    bool received = false;  // the alarm came from the alarm server
    bool removed = false;   // it left the queue
    bool reply = false;     // a reply to the alarm server
};

// The steps in time order: the traffic log's in their order, each system log
// step after the traffic steps of its second that come before it in an
// alarm's usual order.
std::vector<Step> TraceDay(std::string_view alarm_id, std::string_view system_log,
                           std::string_view traffic_log);

// The steps split into lives: an alarm that comes again after it left the
// queue starts a new one. A life whose alarm got no reply says so at its end.
std::vector<std::vector<Step>> SplitLives(std::vector<Step> steps);

}  // namespace kelvarix::trace
