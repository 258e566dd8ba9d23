#include "pbx/atas_link.h"

#include "platform/awaitable.h"
#include "queue/conversions.h"
#include "queue/get_field.h"

namespace kelvarix {

namespace {
constexpr std::string_view kUsernamePrompt = "USERNAME:";
constexpr std::string_view kPasswordPrompt = "PASSWORD:";
constexpr std::string_view kLoginRefused = "SORRY,";
constexpr std::string_view kSessionOk = "ATAS_OK";
constexpr std::string_view kTab = "\t";

bool BufferStartsWith(const std::string& buffer, std::string_view word) {
    return buffer.size() >= word.size() &&
           ToUpperAscii(std::string_view(buffer).substr(0, word.size())) == word;
}
}  // namespace

AtasLink::AtasLink(asio::any_io_executor executor, const Settings& settings, Logger& logger,
                   MessageQueue& queue)
    : executor_(executor),
      settings_(settings),
      logger_(logger),
      queue_(queue),
      socket_(executor),
      changed_(executor),
      reply_arrived_(executor),
      lane_turn_(executor) {
    socket_.SetEvents({
        [this](std::string_view data) { Winsock_ATAS_DataArrival(data); },
        [this] { changed_.Notify(); },
        [this] { Winsock_ATAS_Close(); },
        [this](const std::string& description) { Winsock_ATAS_Error(description); },
    });
}

void AtasLink::SetRemote(std::string host, std::int32_t port) {
    remote_host_ = std::move(host);
    remote_port_ = port;
}

std::string AtasLink::HostAndPort() const {
    return remote_host_ + ":" + std::to_string(remote_port_);
}

void AtasLink::SendToATAS(std::string_view text) {
    if (!Connected()) return;
    socket_.SendData(text);
    logger_.WriteTrafficLog(text, TagToATAS);
}

void AtasLink::SendSecret(const std::string& text) {
    // The wire carries the password; the logs show one "*" per character.
    if (!Connected()) return;
    socket_.SendData(text);
    std::string masked(text.size(), '*');
    if (!text.empty() && text.back() == kCR) masked.back() = kCR;
    logger_.WriteTrafficLog(masked, TagToATAS);
}

asio::awaitable<void> AtasLink::AcquireLane() {
    const std::uint64_t ticket = next_ticket_++;
    while (serving_ticket_ != ticket) co_await lane_turn_.Wait();
}

void AtasLink::ReleaseLane() {
    ++serving_ticket_;
    lane_turn_.Notify();
}

asio::awaitable<std::int16_t> AtasLink::SendATASCommand(std::string line, std::string_view reply1,
                                                        std::string_view reply2,
                                                        std::string_view reply3,
                                                        std::string_view reply4,
                                                        std::int32_t timeout_seconds) {
    co_await AcquireLane();
    ExpectedReplies = {ToUpperAscii(reply1), ToUpperAscii(reply2), ToUpperAscii(reply3),
                       ToUpperAscii(reply4)};
    MatchedReply = kReplyNone;
    const bool sent = Connected();
    const std::uint64_t connection = connection_;
    const auto started = std::chrono::steady_clock::now();
    SendToATAS(line);
    if (timeout_seconds > 0) {
        const auto deadline =
            started + std::chrono::milliseconds(std::int64_t{timeout_seconds} * 1000);
        // A link that is gone brings no reply: the command gives up at once
        // rather than holding its caller (an alarm, the cycle) for the time-out.
        while (MatchedReply == kReplyNone && Connected() && connection_ == connection &&
               std::chrono::steady_clock::now() < deadline) {
            co_await reply_arrived_.WaitUntil(deadline);
        }
    }
    const std::int16_t result = MatchedReply;
    CommandResult outcome = CommandResult::Timeout;
    if (result != kReplyNone) {
        outcome = ExpectedReplies[result - 1] == "NACK" ? CommandResult::Nack : CommandResult::Ack;
    } else if (!sent || !Connected() || connection_ != connection) {
        outcome = CommandResult::NoLink;
    }
    command_stats.Count(line.substr(0, line.find_first_of("\t\r")), outcome,
                        std::chrono::steady_clock::now() - started);
    ExpectedReplies = {};
    ReleaseLane();
    co_return result;
}

asio::awaitable<std::int16_t> AtasLink::SendCommand(std::string line) {
    return SendATASCommand(std::move(line), "ack", "nack", "", "", settings_.CommandTimeout);
}

void AtasLink::LinkGone() {
    ++connection_;
    reply_arrived_.Notify();
}

void AtasLink::ResetForConnect() {
    socket_.Close();
    LinkGone();
    ATASReceiveBuffer.clear();
    ATASSessionReady = false;
    ATASLoginRefused = false;
    session_set_up_ = false;
    changed_.Notify();
}

void AtasLink::StartConnect() { socket_.Connect(remote_host_, remote_port_); }

void AtasLink::Close() {
    socket_.Close();
    LinkGone();
    session_set_up_ = false;
    changed_.Notify();
}

void AtasLink::MarkSessionSetUp() {
    session_set_up_ = true;
    changed_.Notify();
}

asio::awaitable<bool> AtasLink::WaitUntilUsable() {
    while (Connected() && !session_set_up_) co_await changed_.Wait();
    co_return Connected() && session_set_up_;
}

void AtasLink::Winsock_ATAS_DataArrival(std::string_view data) {
    logger_.WriteTrafficLog(data, TagFromATAS);
    ATASReceiveBuffer.reserve(ATASReceiveBuffer.size() + data.size());
    for (const char c : data) {
        if (c != kLF) ATASReceiveBuffer += c;
    }

    // The login prompts come without CR: they are looked for at the start of
    // the buffer, once per arrival, before any line is taken off.
    if (BufferStartsWith(ATASReceiveBuffer, kUsernamePrompt)) {
        ATASReceiveBuffer.clear();
        SendToATAS(settings_.Username + kCR);
    }
    if (BufferStartsWith(ATASReceiveBuffer, kPasswordPrompt)) {
        ATASReceiveBuffer.clear();
        SendSecret(settings_.Password + kCR);
    }
    if (BufferStartsWith(ATASReceiveBuffer, kLoginRefused)) {
        ATASLoginRefused = true;
        socket_.Close();
        LinkGone();
        changed_.Notify();
    }

    std::size_t start = 0;
    for (std::size_t end; (end = ATASReceiveBuffer.find(kCR, start)) != std::string::npos;) {
        std::string line = TrimBlanks(std::string_view(ATASReceiveBuffer).substr(start, end - start));
        start = end + 1;
        HandleLine(std::move(line));
    }
    ATASReceiveBuffer.erase(0, start);

    if (ATASReceiveBuffer.size() > kMaxReceiveBuffer) {
        logger_.WriteSystemLog("ATAS receive buffer overflow, dropped " +
                               std::to_string(ATASReceiveBuffer.size()) +
                               " characters without CR from " + HostAndPort());
        ATASReceiveBuffer.clear();
    }
}

void AtasLink::HandleLine(std::string line) {
    const std::string keyword = ToUpperAscii(TrimBlanks(GetField(line, 0, kTab)));
    if (keyword == "CBE" || keyword == "HB") return;
    if (keyword == "OPM") {
        HandleTerminalOperation(line);
        return;
    }
    if (keyword.starts_with(kSessionOk)) {
        ATASSessionReady = true;
        changed_.Notify();
        return;
    }
    if (MatchedReply != kReplyNone) return;
    MatchedReply = MatchReply(line, ExpectedReplies);
    if (MatchedReply != kReplyNone) reply_arrived_.Notify();
}

void AtasLink::HandleTerminalOperation(std::string_view line) {
    const std::string alarm_id = TrimBlanks(GetField(line, 1, kTab));
    const std::string destination = TrimBlanks(GetField(line, 2, kTab));
    const double code = ParseLenientNumber(GetField(line, 3, kTab));
    const std::string terminal = TrimBlanks(GetField(line, 4, kTab));

    if (code == 1) {
        // The answer takes the fields as they stand, blanks included.
        SendToATAS(AtasCommand("PA", {GetField(line, 2, kTab), GetField(line, 4, kTab)}));
        return;
    }
    if (code != 2) return;
    ++terminal_acknowledgements;

    const MessageRef acknowledged = queue_.first_with_alarm_id(alarm_id);
    if (!acknowledged) {
        SendToATAS(AtasCommand("DA", {alarm_id, destination}));
        logger_.WriteSystemLog("Could not find AlarmId:" + alarm_id +
                               " (was deleted by queue cleaning?) when ack from Destination: " +
                               destination + ", TermId: " + terminal);
        return;
    }
    for (const MessageRef& entry : queue_.entries_of_event(acknowledged->m_EventId)) {
        const bool same_place =
            entry->m_Destination == destination &&
            (entry->m_TerminalId == terminal || entry->m_TerminalId.empty());
        if (!same_place) {
            queue_.set_state(*entry, MessageState::AcknowledgedElsewhere);
        } else if (entry->m_MessageState == MessageState::AckReported) {
            queue_.set_state(*entry, MessageState::AcknowledgedAgain);
        } else {
            queue_.set_state(*entry, MessageState::Acknowledged);
            entry->m_AckedByTerminalId = terminal;
        }
    }
}

void AtasLink::Winsock_ATAS_Close() {
    logger_.WriteSystemLog("ATAS socket was closed (" + HostAndPort() + ")");
    Close();
}

void AtasLink::Winsock_ATAS_Error(const std::string& description) {
    logger_.WriteSystemLog("ATAS socket was closed due to error (" + HostAndPort() + "), " +
                           description);
    Close();
}

}  // namespace kelvarix
