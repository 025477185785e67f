#pragma once
// How the network client keeps the response headers curl hands it, one raw line at a
// time (status lines and the blank line included, line ends still attached).
//
// Thread-safety: pure; any thread.

#include <cstddef>
#include <string_view>

#include "platform/network/VXLNetwork.h"

namespace platform {

enum class VXLHeaderLine {
  Kept,         // a "name: value" field, now in the headers (a repeated name keeps the last)
  Ignored,      // not a field (the blank line, a line without a name)
  NewResponse,  // a status line: the headers of an earlier (interim) response are dropped
  TooLarge,     // Content-Length announces more than the body limit: refuse the transfer
};

VXLHeaderLine vxl_receiveHeaderLine(std::string_view line, std::size_t maxBody, VXLHTTPHeaders& headers);

}  // namespace platform
