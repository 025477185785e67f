#include "measurement/engine/TLWScheduler.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>

#include "measurement/monitor/TLWError.h"
#include "measurement/monitor/TLWMonitor.h"

namespace {

std::string demangled(const std::type_info* type) {
  if (!type) return "unknown exception";
  int status = 0;
  char* name = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
  std::string out = (status == 0 && name) ? std::string(name) : std::string(type->name());
  std::free(name);
  return out;
}

// Describes the exception being handled; call only from inside a catch block.
platform::Value caughtException() {
  std::string name = demangled(abi::__cxa_current_exception_type());
  std::string reason;
  try {
    throw;
  } catch (const std::exception& e) {
    reason = e.what();
  } catch (...) {
    // Not a standard exception: its type name is all there is to report.
  }
  return platform::Value(std::shared_ptr<platform::ValueObject>(std::make_shared<TLWException>(name, reason)));
}

std::string withBlockID(std::string_view head, std::string_view blockID, std::string_view tail) {
  std::string text;
  text.reserve(head.size() + blockID.size() + tail.size());
  text.append(head).append(blockID).append(tail);
  return text;
}

}  // namespace

bool TLWScheduler::checkOnBackgroundThreadWithMethodName(std::string_view methodName) {
  if (!platform::MainRunLoop::isMainThread()) return true;
  std::string_view name = methodName.empty() ? std::string_view("<empty method name>") : methodName;
  TLWMonitor::sharedInstance()->logWithLevel(1, 30001,
                                             withBlockID("Method ", name, " should execute on background thread"));
  return false;
}

std::shared_ptr<TLWScheduler> TLWScheduler::initWithWorkerQueueLabel(std::string label) {
  return std::make_shared<TLWScheduler>(std::move(label));
}

TLWScheduler::TLWScheduler(std::string workerQueueLabel)
    : workerQueue_(platform::DispatchQueue::create(std::move(workerQueueLabel), platform::QueuePriority::Background)) {}

void TLWScheduler::scheduleOnWorkerQueueBlockID(std::string_view blockID, Block block) {
  if (!block) {
    TLWMonitor::sharedInstance()->logWithLevel(
        1, 30005, withBlockID("Nil block dispatched asynchronously on worker queue. Block ID=", blockID, "."));
    return;
  }
  workerQueue_->async([id = std::string(blockID), block = std::move(block)] {
    try {
      block();
    } catch (...) {
      TLWMonitor::sharedInstance()->logWithLevel(
          1, 30000, withBlockID("Exception on worker queue. Block ID=", id, ". Exception"), caughtException());
    }
  });
}

bool TLWScheduler::dispatchSyncOnWorkerQueueBlockID(std::string_view blockID, const Block& block) {
  if (!block) {
    TLWMonitor::sharedInstance()->logWithLevel(
        1, 30002, withBlockID("Nil block dispatched synchronously on worker queue. Block ID=", blockID, "."));
    return false;
  }
  bool completed = false;
  // A refused dispatch (a call from the worker queue itself) leaves `completed` unset, so
  // it is reported below like any other failed synchronous task.
  (void)workerQueue_->sync([&] {
    try {
      block();
      completed = true;
    } catch (...) {
      TLWMonitor::sharedInstance()->logWithLevel(
          1, 30003, withBlockID("Exception on worker queue when processing sync block. Block ID=", blockID, ". Exception"),
          caughtException());
    }
  });
  if (!completed) {
    TLWMonitor::sharedInstance()->logWithLevel(4, 30004, withBlockID("Synchronous task failed. Block ID=", blockID, ""));
  }
  return completed;
}
