#include "session.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "text.h"

namespace kelvarix::pbxsim {

namespace {

constexpr std::string_view kUserPrompt = "USERNAME:";
constexpr std::string_view kPasswordPrompt = "PASSWORD:";
constexpr std::string_view kLoginOk = "ATAS_OK";
constexpr std::string_view kLoginRefused = "SORRY,";
constexpr std::string_view kAck = "ack";
constexpr std::string_view kNack = "nack";
constexpr std::string_view kHeartbeat = "HB";
constexpr std::string_view kAlarm = "SA";
constexpr std::string_view kDeleteAlarm = "DA";
constexpr std::string_view kReset = "RESET";
constexpr std::string_view kHeartbeatTimeout = "HBC";
constexpr std::string_view kEchoOn = "ATE1";
constexpr std::string_view kPresentAnswer = "PA";
constexpr std::string_view kOperation = "OPM";
constexpr std::string_view kCodeRead = "1";
constexpr std::string_view kCodeAcknowledged = "2";

// A gateway that never sends CR must not grow the buffer without bound.
constexpr std::size_t kMaxLine = 1 << 20;

template <typename T>
std::optional<T> parse_number(std::string_view text) {
    T value{};
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end) return std::nullopt;
    return value;
}

void keep_earliest(std::optional<TimePoint>& best, std::optional<TimePoint> candidate) {
    if (candidate && (!best || *candidate < *best)) best = candidate;
}

}  // namespace

std::optional<ReplyMode> parse_reply_mode(std::string_view text) {
    if (text == "ack") return ReplyMode{ReplyMode::Answer::ack, Millis{0}};
    if (text == "nack") return ReplyMode{ReplyMode::Answer::nack, Millis{0}};
    if (text == "none") return ReplyMode{ReplyMode::Answer::none, Millis{0}};
    constexpr std::string_view kDelay = "delay:";
    if (!text.starts_with(kDelay)) return std::nullopt;
    text.remove_prefix(kDelay.size());
    auto answer = ReplyMode::Answer::ack;
    if (const auto colon = text.find(':'); colon != std::string_view::npos) {
        const auto word = text.substr(colon + 1);
        if (word == "nack") {
            answer = ReplyMode::Answer::nack;
        } else if (word != "ack") {
            return std::nullopt;
        }
        text = text.substr(0, colon);
    }
    const auto ms = parse_number<unsigned>(text);
    if (!ms) return std::nullopt;
    return ReplyMode{answer, Millis{*ms}};
}

std::ostream& operator<<(std::ostream& out, const Action& action) {
    static constexpr const char* kNames[] = {"send", "send_unlogged", "received", "event", "close"};
    const auto text = action.kind == Action::Kind::send_unlogged
                          ? std::to_string(action.text.size()) + " bytes"
                          : escape_controls(action.text);
    return out << kNames[static_cast<int>(action.kind)] << '(' << text << ')';
}

std::optional<std::string> output_line(const Action& action, bool quiet) {
    switch (action.kind) {
        case Action::Kind::send: {
            if (quiet) return std::nullopt;
            std::string_view text = action.text;
            if (text.ends_with(kCr)) text.remove_suffix(1);
            return "send: " + escape_controls(text);
        }
        case Action::Kind::received:
            if (quiet) return std::nullopt;
            return "recv: " + escape_controls(action.text);
        case Action::Kind::event:
            return action.text;
        case Action::Kind::send_unlogged:
        case Action::Kind::close:
            break;
    }
    return std::nullopt;
}

Session::Session(SessionConfig config) : config_(std::move(config)) {}

std::vector<Action> Session::start(TimePoint now) {
    if (config_.flap) flap_at_ = now + *config_.flap;
    if (config_.prompt) {
        if (config_.prompt_delay > Millis{0}) {
            prompt_at_ = now + config_.prompt_delay;
        } else {
            send_prompt(kUserPrompt, Phase::user);
        }
    }
    return take();
}

std::vector<Action> Session::on_data(std::string_view bytes, TimePoint now) {
    for (char c : bytes) {
        if (phase_ == Phase::closing) break;
        if (c == kLf) continue;  // never part of the ATAS line format; typed by telnet users
        if (c == kCr) {
            handle_line(std::exchange(buffer_, {}), now);
            continue;
        }
        buffer_ += c;
        if (buffer_.size() > kMaxLine)
            drop("line longer than " + std::to_string(kMaxLine) + " bytes");
    }
    return take();
}

std::vector<Action> Session::on_timer(TimePoint now) {
    if (phase_ == Phase::closing) return {};
    if (heartbeat_deadline_ && *heartbeat_deadline_ <= now) {
        drop("heartbeat timeout");
        return take();
    }
    if (flap_at_ && *flap_at_ <= now) {
        drop("flap");
        return take();
    }
    if (prompt_at_ && *prompt_at_ <= now) {
        prompt_at_.reset();
        send_prompt(kUserPrompt, Phase::user);
    }
    send_due_replies(now);
    send_due_operations(now);
    if (next_heartbeat_ && *next_heartbeat_ <= now) {
        send_line(kHeartbeat);
        // Skip beats that a stalled loop missed rather than sending a burst.
        while (*next_heartbeat_ <= now) *next_heartbeat_ += *config_.send_heartbeat;
    }
    return take();
}

std::vector<Action> Session::operator_line(std::string_view typed) {
    if (phase_ != Phase::closing) send_line(expand_tab_escapes(typed));
    return take();
}

std::optional<TimePoint> Session::next_deadline() const {
    if (phase_ == Phase::closing) return std::nullopt;
    std::optional<TimePoint> next;
    keep_earliest(next, prompt_at_);
    if (!replies_.empty()) keep_earliest(next, replies_.front().due);
    for (const auto& operation : operations_) keep_earliest(next, operation.due);
    keep_earliest(next, heartbeat_deadline_);
    keep_earliest(next, next_heartbeat_);
    keep_earliest(next, flap_at_);
    return next;
}

void Session::handle_line(std::string line, TimePoint now) {
    out_.push_back({Action::Kind::received, line});
    // Any line proves the link alive, not only "HB".
    if (heartbeat_deadline_) heartbeat_deadline_ = now + *heartbeat_period_;
    switch (phase_) {
        case Phase::before_prompt:
        case Phase::closing:
            return;
        case Phase::user:
            user_ = std::move(line);
            send_prompt(kPasswordPrompt, Phase::password);
            return;
        case Phase::password:
            if (!config_.refuse_login && user_ == config_.user && line == config_.password) {
                send_line(kLoginOk);
                event("login ok");
                phase_ = Phase::logged_in;
                if (config_.send_heartbeat) next_heartbeat_ = now + *config_.send_heartbeat;
                if (config_.flood_bytes > 0) {
                    out_.push_back(
                        {Action::Kind::send_unlogged, std::string(config_.flood_bytes, 'X')});
                    event("flood: " + std::to_string(config_.flood_bytes) + " bytes");
                }
            } else {
                send_line(kLoginRefused);
                event("login refused");
                phase_ = Phase::closing;
                out_.push_back({Action::Kind::close, {}});
            }
            return;
        case Phase::logged_in:
            handle_command(line, now);
            return;
    }
}

void Session::handle_command(std::string_view line, TimePoint now) {
    if (trim_spaces(line).empty()) return;
    const auto fields = split_fields(line);
    Command command{to_upper(trim_spaces(fields[0])), {fields.begin(), fields.end()}};
    // Heartbeats come on a timer; counting them would make --drop-after
    // depend on timing.
    if (command.keyword == kHeartbeat) return;
    ++commands_;
    if (config_.drop_after && commands_ >= *config_.drop_after) {
        drop("after command " + std::to_string(commands_));
        return;
    }
    if (command.keyword == kPresentAnswer) return;  // the gateway's answer to OPM code 1

    if (held_) {
        replies_.push_back({now + held_->mode.delay, held_->mode.answer == ReplyMode::Answer::ack,
                            std::move(held_->command)});
        held_.reset();
    }
    const auto found = config_.replies.find(command.keyword);
    const ReplyMode mode = found != config_.replies.end() ? found->second : config_.default_reply;
    if (mode.answer != ReplyMode::Answer::none) {
        if (config_.late_reply) {
            held_ = HeldReply{mode, std::move(command)};
        } else {
            replies_.push_back(
                {now + mode.delay, mode.answer == ReplyMode::Answer::ack, std::move(command)});
        }
    }
    send_due_replies(now);
}

void Session::send_due_replies(TimePoint now) {
    // In command order: a delayed reply holds back the ones behind it.
    while (!replies_.empty() && replies_.front().due <= now) {
        const auto reply = std::move(replies_.front());
        replies_.pop_front();
        send_line(reply.accepted ? kAck : kNack);
        if (reply.accepted) on_accepted(reply.command, now);
    }
}

void Session::send_due_operations(TimePoint now) {
    for (;;) {
        const auto due =
            std::min_element(operations_.begin(), operations_.end(),
                             [](const auto& a, const auto& b) { return a.due < b.due; });
        if (due == operations_.end() || due->due > now) return;
        const auto line = std::move(due->line);
        operations_.erase(due);
        send_line(line);
    }
}

// What the exchange does once it has accepted a command.
void Session::on_accepted(const Command& command, TimePoint now) {
    const auto& fields = command.fields;
    if (command.keyword == kAlarm) {
        if (config_.auto_read) schedule_operation(command, kCodeRead, *config_.auto_read, now);
        if (config_.auto_ack)
            schedule_operation(command, kCodeAcknowledged, *config_.auto_ack, now);
    } else if (command.keyword == kDeleteAlarm && fields.size() >= 3) {
        std::erase_if(operations_, [&](const Operation& operation) {
            return operation.alarm_id == fields[1] && operation.destination == fields[2];
        });
    } else if (command.keyword == kReset) {
        operations_.clear();
    } else if (command.keyword == kHeartbeatTimeout && config_.heartbeat_check) {
        const auto seconds =
            fields.size() >= 2 ? parse_number<int>(trim_spaces(fields[1])) : std::nullopt;
        if (seconds && *seconds > 0) {
            heartbeat_period_ = std::chrono::seconds{*seconds};
            heartbeat_deadline_ = now + *heartbeat_period_;
            event("heartbeat check: " + std::to_string(*seconds) + " s");
        } else if (heartbeat_deadline_) {
            heartbeat_period_.reset();
            heartbeat_deadline_.reset();
            event("heartbeat check: off");
        }
    } else if (command.keyword == kEchoOn && heartbeat_deadline_) {
        heartbeat_period_.reset();
        heartbeat_deadline_.reset();
        event("heartbeat check: off");
    }
}

void Session::schedule_operation(const Command& sa, std::string_view code, Millis after,
                                 TimePoint now) {
    const auto& fields = sa.fields;
    if (fields.size() < 3) return;
    const std::string& terminal =
        fields.size() >= 5 && !fields[4].empty() ? fields[4] : config_.ack_terminal;
    std::string line{kOperation};
    for (std::string_view field : {std::string_view{fields[1]}, std::string_view{fields[2]}, code,
                                   std::string_view{terminal}}) {
        line += kTab;
        line += field;
    }
    operations_.push_back({now + after, fields[1], fields[2], std::move(line)});
}

void Session::send_prompt(std::string_view prompt, Phase next) {
    out_.push_back({Action::Kind::send, std::string{prompt}});
    phase_ = next;
}

void Session::send_line(std::string_view line) {
    std::string bytes{line};
    bytes += kCr;
    out_.push_back({Action::Kind::send, std::move(bytes)});
}

void Session::event(std::string text) {
    out_.push_back({Action::Kind::event, std::move(text)});
}

void Session::drop(std::string_view reason) {
    event("dropped: " + std::string{reason});
    out_.push_back({Action::Kind::close, {}});
    phase_ = Phase::closing;
    buffer_.clear();
}

std::vector<Action> Session::take() {
    return std::exchange(out_, {});
}

}  // namespace kelvarix::pbxsim
