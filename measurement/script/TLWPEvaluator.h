#pragma once
// TLWPEvaluator: evaluates program statements. Each evaluated statement counts one
// instruction against the run's budget; the operation name selects a registered opcode
// (math, bitwise, comparison, logical, control, loop and variable operations) or, when
// none matches, a call of the function of that name in scope. Method calls on arrays and
// strings go to their method tables.
//
// Thread-safety: stateless; evaluation uses the run state current on the calling thread
// (TLWPRunState::Enter) and fails with the resource error when there is none.
//
// Failure: every call returns undefined once `error` is set; the first error stops the
// whole program.

#include <memory>
#include <string>

#include "measurement/script/TLWPRuntimeValue.h"

class TLWPEvaluator {
 public:
  // A statement is evaluated; any other value evaluates to itself (both count one
  // instruction).
  static TLWPValueRef evaluateStatement(const TLWPValueRef& value, const std::shared_ptr<TLWPScope>& scope,
                                        TLWPError& error);
  // Evaluates in order; stops at the first error (undefined) or control value (returned);
  // otherwise the last value (undefined for none).
  static TLWPValueRef executeStatements(const TLWPValues& statements, const std::shared_ptr<TLWPScope>& scope,
                                        TLWPError& error);
  // Method call `target.name(arguments)` with evaluated arguments.
  static TLWPValueRef applyMethod(const TLWPValueRef& target, const std::u16string& name, const TLWPValues& arguments,
                                  const std::shared_ptr<TLWPScope>& scope, TLWPError& error);
  static bool isRegisteredOpcode(int opcode);

  // The method tables of arrays and strings (TLWPMethods.cpp).
  static TLWPValueRef applyArrayMethod(const std::shared_ptr<TLWPArrayValue>& array, const std::u16string& name,
                                       const TLWPValues& arguments, TLWPError& error);
  static TLWPValueRef applyStringMethod(const std::u16string& string, const std::u16string& name,
                                        const TLWPValues& arguments, TLWPError& error);
};
