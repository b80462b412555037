// The text of a request as the Linux HTTP stand-in sends it: the Accept header made from
// WinINet's accept types, extra header lines merged by name, the request target and the URL
// that libcurl is given. Pure text work, so that it is table-tested and fuzzed alone.
//
// Invariants:
//  1. A header line taken from the caller's extra headers holds no control byte: such a line
//     is dropped whole, and so is a line without a colon; an empty line ends the headers.
//  2. An accept type loses its own "Accept:" and its blanks and line breaks at both ends, so
//     that a type written as a whole header line ("Accept: */* \r\n") cannot end the head.
//  3. The target starts with '/' and holds no blank and no byte of 0x80 or above: those are
//     percent-encoded; every other byte stays as the caller wrote it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace plat::posix {

constexpr std::uint16_t kHttpPort = 80;
constexpr std::uint16_t kHttpsPort = 443;

// "Accept: " and the accept types (a null-terminated list, or null) joined by ", "; "*/*"
// when there are none.
std::string AcceptHeader(const char* const* acceptTypes);

// Merges the extra header lines of text (length bytes) into headers ("Name: value" each): a
// line replaces every header of its name.
void MergeHeaders(std::vector<std::string>& headers, const char* text, std::size_t length);

// The request target for an object name (path and query).
std::string EncodeTarget(const std::string& object);

// The URL of a request: scheme, host, port (0: the scheme's default) and the target.
std::string RequestUrl(bool secure, const std::string& host, std::uint16_t port,
                       const std::string& object);

}  // namespace plat::posix
