#pragma once
// Logging for the model types: every message goes to the process-wide monitor with its
// level, code and contexts. Any thread.

#include <cstdint>
#include <string_view>

#include "platform/Value.h"

namespace tlw_model {

void log(std::int64_t level, std::int64_t code, std::string_view message);
void log(std::int64_t level, std::int64_t code, std::string_view message, const platform::Value& context);
void log(std::int64_t level, std::int64_t code, std::string_view message, const platform::Value& context1,
         const platform::Value& context2);

}  // namespace tlw_model
