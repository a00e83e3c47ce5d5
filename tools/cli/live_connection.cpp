#include "tools/cli/live_connection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <json/reader.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "tools/common/exit_status.h"

namespace tzv58::tool {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using Local = net::local::stream_protocol;

// A control command's reply may take the host's whole reply timeout, behind
// a poll round: wait well beyond both.
constexpr std::chrono::milliseconds REPLY_WAIT{30000};
constexpr size_t MAX_ANSWER = 1 << 20;

// Whoever owns the socket file answers for the host: only this user's and
// root's are trusted (a socket left in a shared folder by someone else is not).
int check_owner(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0)
        return failure("cannot reach a running poll at " + path + ": " + std::strerror(errno));
    if (!S_ISSOCK(st.st_mode)) return failure("cannot reach a running poll at " + path + ": not a socket");
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        return usage_error(path + " belongs to another user (uid " + std::to_string(st.st_uid) +
                           "), neither you nor root: not trusting it");
    return 0;
}

// An answer of 400 or more is a refusal, and says why in "error".
bool read_answer(unsigned status, const std::string& text, Json::Value& answer, std::string& err) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    if (!reader->parse(text.data(), text.data() + text.size(), &answer, nullptr) || !answer.isObject()) {
        err = "the host's answer is not understood (HTTP " + std::to_string(status) + "): " + text.substr(0, 200);
        return false;
    }
    if (status >= 400) {
        err = answer["error"].isString() ? answer["error"].asString()
                                         : "the host refused the request (HTTP " + std::to_string(status) + ")";
        return false;
    }
    return true;
}

}  // namespace

struct LiveConnection::Impl {
    net::io_context ioc{1};
    Local::socket socket{ioc};
    beast::flat_buffer buffer;
};

LiveConnection::LiveConnection() : impl_(std::make_unique<Impl>()) {}
LiveConnection::~LiveConnection() = default;

int LiveConnection::open(const std::string& path) {
    if (const int status = check_owner(path)) return status;
    beast::error_code ec;
    impl_->socket.connect(Local::endpoint(path), ec);
    if (ec) return failure("cannot reach a running poll at " + path + ": " + ec.message());
    return 0;
}

bool LiveConnection::ask(const char* method, const std::string& target, const std::string& body, Json::Value& answer,
                         std::string& err, std::string* text) {
    http::request<http::string_body> req{http::string_to_verb(method), target, 11};
    req.set(http::field::host, "localhost");
    if (!body.empty()) req.set(http::field::content_type, "application/json");
    req.body() = body;
    req.prepare_payload();
    http::response_parser<http::string_body> parser;
    parser.body_limit(MAX_ANSWER);
    // The answer is read even when the request could not be written: a
    // host that turns the connection away answers first, then closes.
    beast::error_code wrote, read;
    bool done = false;
    http::async_write(impl_->socket, req, [&](beast::error_code ec, size_t) {
        wrote = ec;
        http::async_read(impl_->socket, impl_->buffer, parser, [&](beast::error_code e, size_t) {
            read = e;
            done = true;
        });
    });
    impl_->ioc.restart();
    impl_->ioc.run_for(REPLY_WAIT);
    if (!done) {
        // Nothing may be left running on what this call owns.
        impl_->socket.close();
        impl_->ioc.restart();
        impl_->ioc.run();
        err = "no reply from the host within " + std::to_string(REPLY_WAIT.count() / 1000) + " s";
        return false;
    }
    if (read) {
        err = "the host closed the connection without a reply (" + (wrote ? wrote : read).message() + ")";
        return false;
    }
    if (text) *text = parser.get().body();
    return read_answer(parser.get().result_int(), parser.get().body(), answer, err);
}

}  // namespace tzv58::tool
