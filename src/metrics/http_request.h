#pragma once
// The endpoint's reading of an HTTP request, without any I/O: what the bytes
// received so far ask for, and the whole response to send.
#include <cstddef>
#include <string>
#include <string_view>

namespace kelvarix {

inline constexpr std::size_t kMaxRequestBytes = 8 * 1024;
inline constexpr std::string_view kMetricsPath = "/metrics";

enum class RequestVerdict {
    NeedMore,          // the request head is not complete yet
    Metrics,           // GET /metrics
    BadRequest,        // no HTTP request line
    NotFound,          // another path
    MethodNotAllowed,  // /metrics with another method
    TooLarge,          // no end of the head within kMaxRequestBytes
};

RequestVerdict JudgeRequest(std::string_view received);

// The response for a finished verdict; body is the page for Metrics. Every
// response closes the connection.
std::string HttpResponse(RequestVerdict verdict, std::string_view body);

}  // namespace kelvarix
