#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <deque>

#include "metrics/exposition.h"
#include "metrics/http_request.h"
#include "metrics/metrics_server.h"
#include "support/io_helpers.h"

namespace kelvarix {
namespace {

TEST(MetricsRequest, VerdictForEachRequest) {
    const std::string big_header = "X: " + std::string(kMaxRequestBytes, 'x') + "\r\n";
    const struct {
        std::string received;
        RequestVerdict verdict;
    } rows[] = {
        {"GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n", RequestVerdict::Metrics},
        {"GET /metrics?x=1 HTTP/1.0\n\n", RequestVerdict::Metrics},
        {"GET /metrics HTTP/1.1\r\nHost: a\r\n", RequestVerdict::NeedMore},
        {"GET /metricsx HTTP/1.1\r\n\r\n", RequestVerdict::NotFound},
        {"GET / HTTP/1.1\r\n\r\n", RequestVerdict::NotFound},
        {"POST /metrics HTTP/1.1\r\n\r\n", RequestVerdict::MethodNotAllowed},
        {"HEAD /metrics HTTP/1.1\r\n\r\n", RequestVerdict::MethodNotAllowed},
        {"GET /metrics\r\n\r\n", RequestVerdict::BadRequest},
        {"hello\r\n\r\n", RequestVerdict::BadRequest},
        {"GET /metrics HTTP/1.1\r\n" + big_header + "\r\n", RequestVerdict::TooLarge},
        {"GET /metrics HTTP/1.1\r\n" + big_header, RequestVerdict::TooLarge},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(JudgeRequest(row.received), row.verdict) << row.received.substr(0, 40);
    }
    EXPECT_NE(HttpResponse(RequestVerdict::MethodNotAllowed, "").find("\r\nAllow: GET\r\n"),
              std::string::npos);
}

TEST(MetricsExposition, FamiliesLabelsAndCumulativeBuckets) {
    Histogram histogram;
    histogram.Observe(std::chrono::microseconds(500));  // first bucket
    histogram.Observe(std::chrono::milliseconds(20));   // le 0.025
    histogram.Observe(std::chrono::seconds(60));        // above every bound
    Exposition out;
    out.Family("k_total", "counter", "Help with \\ and\nline.");
    out.Sample("k_total", {{"a", "x\"y\\z\n"}, {"b", "2"}}, std::uint64_t{7});
    out.Family("k_seconds", "histogram", "H.");
    out.Buckets("k_seconds", histogram);
    const std::string& text = out.Text();
    EXPECT_TRUE(text.starts_with("# HELP k_total Help with \\\\ and\\nline.\n# TYPE k_total counter\n"
                                 "k_total{a=\"x\\\"y\\\\z\\n\",b=\"2\"} 7\n"))
        << text;
    for (const char* line : {"k_seconds_bucket{le=\"0.001\"} 1\n", "k_seconds_bucket{le=\"0.01\"} 1\n",
                             "k_seconds_bucket{le=\"0.025\"} 2\n", "k_seconds_bucket{le=\"10\"} 2\n",
                             "k_seconds_bucket{le=\"+Inf\"} 3\n", "k_seconds_sum 60.0205\n",
                             "k_seconds_count 3\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
}

// Connections beyond the limit are closed at once; a freed place serves again.
TEST(MetricsServer, HoldsAtMostEightConnections) {
    asio::io_context io(1);
    MetricsServer server(io.get_executor(), [] { return std::string("up 1\n"); });
    ASSERT_EQ(server.Listen("127.0.0.1", 0), "");
    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(),
                                           static_cast<unsigned short>(server.LocalPort()));
    std::deque<asio::ip::tcp::socket> idle;
    for (std::size_t i = 0; i < MetricsServer::kMaxConnections; ++i)
        idle.emplace_back(io).connect(endpoint);
    ASSERT_TRUE(test::RunUntil(io, [&] { return server.OpenConnections() == 8; }));
    const auto exchange = [&](std::string request) {
        asio::ip::tcp::socket socket(io);
        socket.connect(endpoint);
        asio::write(socket, asio::buffer(request));
        std::string answer;
        asio::error_code error;
        bool done = false;
        asio::async_read(socket, asio::dynamic_buffer(answer),
                         [&](asio::error_code e, std::size_t) { error = e, done = true; });
        EXPECT_TRUE(test::RunUntil(io, [&] { return done; }));
        return answer;
    };
    EXPECT_EQ(exchange("GET /metrics HTTP/1.1\r\n\r\n"), "");
    idle.pop_back();
    ASSERT_TRUE(test::RunUntil(io, [&] { return server.OpenConnections() == 7; }));
    const std::string answer = exchange("GET /metrics HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n")) << answer;
    EXPECT_NE(answer.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    EXPECT_TRUE(answer.ends_with("\r\n\r\nup 1\n"));
    EXPECT_TRUE(exchange("DELETE /x HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 404"));
}

}  // namespace
}  // namespace kelvarix
