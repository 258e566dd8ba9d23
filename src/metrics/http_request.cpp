#include "metrics/http_request.h"

#include "metrics/exposition.h"

namespace kelvarix {
namespace {

// Where the head ends (after its blank line), or npos. Clients that end
// lines with a bare LF are read too.
std::size_t HeadEnd(std::string_view received) {
    const std::size_t crlf = received.find("\r\n\r\n");
    const std::size_t lf = received.find("\n\n");
    if (crlf < lf) return crlf + 4;  // npos is the largest value
    return lf == std::string_view::npos ? lf : lf + 2;
}

}  // namespace

RequestVerdict JudgeRequest(std::string_view received) {
    const std::size_t end = HeadEnd(received);
    if (end == std::string_view::npos) {
        return received.size() > kMaxRequestBytes ? RequestVerdict::TooLarge
                                                  : RequestVerdict::NeedMore;
    }
    if (end > kMaxRequestBytes) return RequestVerdict::TooLarge;

    // "METHOD SP TARGET SP HTTP/x.y"
    const std::string_view line = received.substr(0, received.find_first_of("\r\n"));
    const std::size_t first = line.find(' ');
    const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos || first == 0 ||
        !line.substr(second + 1).starts_with("HTTP/")) {
        return RequestVerdict::BadRequest;
    }
    const std::string_view method = line.substr(0, first);
    std::string_view target = line.substr(first + 1, second - first - 1);
    target = target.substr(0, target.find('?'));  // a query changes nothing
    if (target != kMetricsPath) return RequestVerdict::NotFound;
    return method == "GET" ? RequestVerdict::Metrics : RequestVerdict::MethodNotAllowed;
}

std::string HttpResponse(RequestVerdict verdict, std::string_view body) {
    std::string status;
    std::string_view type = "text/plain; charset=utf-8";
    std::string extra;
    switch (verdict) {
        case RequestVerdict::Metrics:
            status = "200 OK";
            type = kExpositionContentType;
            break;
        case RequestVerdict::NotFound:
            status = "404 Not Found";
            body = "Only /metrics is served here.\n";
            break;
        case RequestVerdict::MethodNotAllowed:
            status = "405 Method Not Allowed";
            extra = "Allow: GET\r\n";
            body = "Only GET is answered.\n";
            break;
        case RequestVerdict::TooLarge:
            status = "431 Request Header Fields Too Large";
            body = "The request is larger than 8 KiB.\n";
            break;
        case RequestVerdict::BadRequest:
        case RequestVerdict::NeedMore:
            status = "400 Bad Request";
            body = "Not an HTTP request.\n";
            break;
    }
    std::string response = "HTTP/1.1 " + status + "\r\nContent-Type: " + std::string(type) +
                           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
                           "Connection: close\r\n\r\n";
    response += body;
    return response;
}

}  // namespace kelvarix
