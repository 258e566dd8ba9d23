#pragma once
// The PBX side of one ATAS connection, without sockets or timers: fed with
// received bytes, typed lines and the time, it returns what to send, what to
// print and when to hang up. The Asio shell (server.h) performs the actions
// and wakes it again at next_deadline().
#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace kelvarix::pbxsim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Millis = std::chrono::milliseconds;

// How the PBX answers one command keyword.
struct ReplyMode {
    enum class Answer { ack, nack, none };
    Answer answer = Answer::ack;
    Millis delay{0};
    friend bool operator==(const ReplyMode&, const ReplyMode&) = default;
};

// "ack", "nack", "none", "delay:MS" or "delay:MS:nack" (also "delay:MS:ack").
std::optional<ReplyMode> parse_reply_mode(std::string_view text);

struct SessionConfig {
    std::string user = "kelvarix";
    std::string password = "kelvarix";
    ReplyMode default_reply{};
    std::map<std::string, ReplyMode, std::less<>> replies{};  // keyword in upper case
    std::optional<Millis> auto_read{};                        // OPM code 1 after an accepted SA
    std::optional<Millis> auto_ack{};                         // OPM code 2 after an accepted SA
    std::string ack_terminal = "T1";                          // for an SA without a terminal
    bool heartbeat_check = true;
    std::optional<Millis> send_heartbeat{};
    bool prompt = true;
    Millis prompt_delay{0};
    bool refuse_login = false;
    std::optional<unsigned> drop_after{};  // commands, per connection
    std::optional<Millis> flap{};
    std::size_t flood_bytes = 0;
    bool late_reply = false;
};

struct Action {
    enum class Kind {
        send,           // bytes for the gateway, printed as "send: "
        send_unlogged,  // bytes for the gateway that an event describes instead
        received,       // a line from the gateway, printed as "recv: "
        event,          // printed as it stands
        close,          // hang up once everything before it is sent
    };
    Kind kind;
    std::string text;
    friend bool operator==(const Action&, const Action&) = default;
};
std::ostream& operator<<(std::ostream& out, const Action& action);

// The output line for an action, or nothing. Quiet output keeps only events.
std::optional<std::string> output_line(const Action& action, bool quiet);

class Session {
  public:
    explicit Session(SessionConfig config);

    // The connection was accepted: prompt now, later or never.
    std::vector<Action> start(TimePoint now);
    std::vector<Action> on_data(std::string_view bytes, TimePoint now);
    // Runs whatever is due at `now`; harmless when nothing is.
    std::vector<Action> on_timer(TimePoint now);
    // A line typed by the operator, sent as it stands with CR.
    std::vector<Action> operator_line(std::string_view typed);

    std::optional<TimePoint> next_deadline() const;
    bool closing() const { return phase_ == Phase::closing; }

  private:
    enum class Phase { before_prompt, user, password, logged_in, closing };
    struct Command {
        std::string keyword;
        std::vector<std::string> fields;
    };
    struct PendingReply {
        TimePoint due;
        bool accepted;
        Command command;
    };
    struct HeldReply {
        ReplyMode mode;
        Command command;
    };
    struct Operation {
        TimePoint due;
        std::string alarm_id;
        std::string destination;
        std::string line;
    };

    void handle_line(std::string line, TimePoint now);
    void handle_command(std::string_view line, TimePoint now);
    void send_due_replies(TimePoint now);
    void send_due_operations(TimePoint now);
    void on_accepted(const Command& command, TimePoint now);
    void schedule_operation(const Command& sa, std::string_view code, Millis after, TimePoint now);
    void send_prompt(std::string_view prompt, Phase next);
    void send_line(std::string_view line);
    void event(std::string text);
    void drop(std::string_view reason);
    std::vector<Action> take();

    SessionConfig config_;
    Phase phase_ = Phase::before_prompt;
    std::string buffer_;
    std::string user_;
    unsigned commands_ = 0;
    std::optional<TimePoint> prompt_at_;
    std::deque<PendingReply> replies_;
    std::optional<HeldReply> held_;
    std::vector<Operation> operations_;
    std::optional<std::chrono::seconds> heartbeat_period_;
    std::optional<TimePoint> heartbeat_deadline_;
    std::optional<TimePoint> next_heartbeat_;
    std::optional<TimePoint> flap_at_;
    std::vector<Action> out_;
};

}  // namespace kelvarix::pbxsim
