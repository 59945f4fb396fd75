#pragma once

#include "update/BlockSocket.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace sp {

// A minimal HTTP/1.0 client: one GET per TCP connection to port 80, no
// proxy, TLS, redirects, chunked bodies, cookies or authentication.

// Every wait for a status line, header line or body chunk gives up after
// this much silence.
inline constexpr int kFetchTimeoutMs = 15000;
// The whole answer (status line, headers and body) must have come within
// this long of the request, however steadily a server trickles it.
inline constexpr int kFetchDeadlineMs = 60000;
// Largest body ReadResponse accepts, with or without a declared length.
inline constexpr size_t kMaxBodyLength = 16 * 1024 * 1024;

// Error texts of the limits that keep a broken server from exhausting memory.
inline constexpr std::string_view kLineTooLongText = "Header line longer than 65536 bytes";
inline constexpr std::string_view kBodyTooLongText = "Response body longer than 16777216 bytes";
inline constexpr std::string_view kDeadlineText = "Response not complete within 60 seconds";
// HTTP/1.0 has no chunked bodies; read as text their chunk sizes would be data.
inline constexpr std::string_view kChunkedText = "Chunked response body (not HTTP/1.0)";
// A refusal whose status line names no reason still needs words for the user.
inline constexpr std::string_view kBadStatusText = "Malformed response status line";

// The wait used by ReadResponse; tests shorten it (ms <= 0 restores the default).
void SetFetchTimeoutForTests(int ms);
[[nodiscard]] int FetchTimeoutMs();
// The same for the deadline of a whole answer.
void SetFetchDeadlineForTests(int ms);
[[nodiscard]] int FetchDeadlineMs();

// "http://host/path" -> "host".
[[nodiscard]] std::string HostFromUrl(std::string_view url);

// The six request lines for the URL, each ended by CR LF, the last empty.
[[nodiscard]] std::string BuildGetRequest(std::string_view url);

// Sends the request; on failure false with the socket's error text.
[[nodiscard]] bool SendRequest(TBlockSocket& socket, std::string_view request, std::string& error);

// Reads status line, headers and body; appends the body to `body` as
// received. True when the whole body is there; else false and the reason
// in `error` (the status after the first blank when it does not end in OK).
// Without a declared length the server's orderly close ends the body; a
// reset is an error. A chunked body and an answer that takes longer than
// FetchDeadlineMs() fail with their own texts. A body longer than maxBody
// fails with "Response body longer than <maxBody> bytes".
[[nodiscard]] bool ReadResponse(TBlockSocket& socket, std::string& body, std::string& error,
                                size_t maxBody = kMaxBodyLength);

// Where a complete fetch stopped.
enum class TFetchFailure { None, Connect, Send, Receive };

// One complete fetch of the URL on port 80: connect, send, read, close.
// The body receives the response body (emptied first); on failure the
// error text is the socket's or ReadResponse's text, without prefix.
[[nodiscard]] TFetchFailure FetchUrl(std::string_view url, std::string& body, std::string& error);

} // namespace sp
