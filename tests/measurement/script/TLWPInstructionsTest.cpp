// Small programs, each with the result or the error code it must give: every operation
// and every array and string method, including their error paths.
#include <gtest/gtest.h>

#include "measurement/script/TLWPRuntime.h"
#include "tools/script-runner/ScriptJson.h"

namespace {

struct Case {
  const char* program;  // compact JSON (tools/script-runner/ScriptJson.h)
  const char* expected;  // "typeof:string form", or null when `error` is expected
  std::int64_t error = 0;
};

// Runs `program` in a fresh runtime: "type:value", or "error:<code>".
std::string run(const std::string& program) {
  std::string problem;
  auto json = nlohmann::json::parse(program, nullptr, false);
  if (json.is_discarded()) return "bad json";
  auto message = tools::programFromJson(json, &problem);
  if (!message) return "bad program: " + problem;
  TLWPRuntime runtime;
  TLWPError error;
  TLWPValues statements =
      TLWPRuntimeEntityConverter::valuesFromEntities(message->messageInfo(), TLWPBProgram::kInstructions, error);
  TLWPValueRef result = runtime.executeStatements(statements, error);
  if (error) return "error:" + std::to_string(error.code);
  auto shown = tools::runtimeValueToJson(*result);
  return shown["type"].get<std::string>() + ":" +
         (shown["value"].is_null() ? std::string("<none>") : shown["value"].get<std::string>());
}

void runTable(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    const std::string want = c.expected ? c.expected : "error:" + std::to_string(c.error);
    EXPECT_EQ(run(c.program), want) << c.program;
  }
}

TEST(TLWPInstructionsTest, MathBitwiseAndNumberForms) {
  runTable({
      {R"([["0", "1", 2]])", "string:12"},
      {R"([["0", 1, 2]])", "number:3"},
      {R"([["0", ["7", 1, 2], 1]])", "string:1,21"},
      {R"([["0", ["8"], true]])", "string:[object Object]true"},
      {R"([["0", 1]])", nullptr, 9},
      {R"([["10", 1, 0]])", "number:Infinity"},
      {R"([["10", -1, 0]])", "number:-Infinity"},
      {R"([["10", 0, 0]])", "number:NaN"},
      {R"([["25", -7, 3]])", "number:-1"},
      {R"([["26", 1.5, 4]])", "number:6"},
      {R"([["27", 5]])", "number:-5"},
      {R"([["37", 0.3, 0.1]])", "number:0.19999999999999998"},
      {R"([["32", "a", "b"]])", "string:a"},
      {R"([["35", "x"]])", "string:x"},
      {R"([["26", " 42 ", "2"]])", "number:84"},
      {R"([["0", 1, ["26", "12abc", 1]]])", "number:NaN"},
      {R"([["26", "", 5]])", "number:0"},
      {R"([["0", "", 1e21]])", "string:1e+21"},
      {R"([["0", "", 0.000001]])", "string:0.000001"},
      {R"([["0", "", 1e-7]])", "string:1e-7"},
      {R"([["0", "", 123.456]])", "string:123.456"},
      {R"([["0", "", 1234567.5]])", "string:1234567.5"},
      {R"([["0", "", ["27", 0]]])", "string:0"},
      {R"([["56", 6, 3]])", "number:2"},
      {R"([["57", 1, 33]])", "number:2"},
      {R"([["57", 1, 31]])", "number:-2147483648"},
      {R"([["58", 0]])", "number:-1"},
      {R"([["59", 3000000000, 0]])", "number:2147483647"},
      {R"([["59", 4294967301, 0]])", "number:5"},
      {R"([["60", -8, 1]])", "number:-4"},
      {R"([["61", -1, 0]])", "number:4294967295"},
      {R"([["62", 5, 1]])", "number:4"},
      {R"([["58"]])", nullptr, 9},
  });
}

TEST(TLWPInstructionsTest, ComparisonAndLogic) {
  runTable({
      {R"([["12", ["45"], ["44"]]])", "boolean:true"},
      {R"([["12", "1", 1]])", "boolean:true"},
      {R"([["12", "1", true]])", "boolean:true"},
      {R"([["12", ["45"], 0]])", "boolean:false"},
      {R"([["20", "1", 1]])", "boolean:false"},
      {R"([["12", ["10", 0, 0], ["10", 0, 0]]])", "boolean:false"},
      {R"([["20", ["10", 0, 0], ["10", 0, 0]]])", "boolean:false"},
      {R"([["29", "a", "b"]])", "boolean:true"},
      {R"([["21", 1, 1]])", "boolean:false"},
      {R"([["20", ["7"], ["7"]]])", "boolean:false"},
      {R"([["23", "10", "9"]])", "boolean:true"},
      {R"([["23", 10, 9]])", "boolean:false"},
      {R"([["24", 2, 2]])", "boolean:true"},
      {R"([["18", 3, 2]])", "boolean:true"},
      {R"([["19", ["10", 0, 0], 1]])", "boolean:false"},
      {R"([["23", 1]])", nullptr, 9},
      {R"([["1", false, ["3", "undeclared", 1]]])", "boolean:false"},
      {R"([["1", 1, "second"]])", "string:second"},
      {R"([["30", "first", ["3", "undeclared", 1]]])", "string:first"},
      {R"([["30", 0, ["3", "undeclared", 1]]])", nullptr, 2},
      {R"([["28", ""]])", "boolean:true"},
      {R"([["28", ["8"]]])", "boolean:false"},
      {R"([["1", true]])", nullptr, 9},
  });
}

TEST(TLWPInstructionsTest, VariablesScopesAndProperties) {
  runTable({
      {R"([["3", "x", 1]])", nullptr, 2},
      {R"([["41", "x"], ["3", "x", 4], ["15", "x"]])", "number:4"},
      {R"([["41", 5]])", nullptr, 10},
      {R"([["52", "c", 1], ["3", "c", 2], ["15", "c"]])", "number:1"},
      {R"([["52", "c"]])", nullptr, 9},
      {R"([["52", 3, 1]])", nullptr, 10},
      {R"([["15", "nothing"]])", "undefined:undefined"},
      {R"([["15", 1]])", nullptr, 10},
      {R"([["53", ["41", "inner"], ["3", "inner", 1]], ["15", "inner"]])", "undefined:undefined"},
      {R"([["17", "héllo", "length"]])", "number:5"},
      {R"([["17", "😀", "length"]])", "number:2"},
      {R"([["16", "abc", 1]])", "string:b"},
      {R"([["16", "abc", "1"]])", "string:b"},
      {R"([["16", "abc", 9]])", "undefined:undefined"},
      {R"([["16", ["45"], "x"]])", "undefined:undefined"},
      {R"([["16", 5, "x"]])", "undefined:undefined"},
      {R"([["43", ["45"], "x", 1]])", nullptr, 6},
      {R"([["43", ["44"], "x", 1]])", nullptr, 6},
      {R"([["43", 5, "x", 1]])", "number:1"},
      {R"([["52", "m", ["8", "a", 1]], ["43", ["15", "m"], "b", 2], ["16", ["15", "m"], "b"]])", "number:2"},
      {R"([["8", "a"]])", nullptr, 9},
      {R"([["52", "a", ["7"]], ["43", ["15", "a"], 5, "x"], ["17", ["15", "a"], "length"]])", "number:6"},
      {R"([["52", "a", ["7"]], ["43", ["15", "a"], 5, "x"], ["2", ["15", "a"], "join", ["7", "-"]]])",
       "string:-----x"},
      {R"([["52", "a", ["7"]], ["43", ["15", "a"], 5, "x"], ["2", ["15", "a"], "hasOwnProperty", ["7", 2]]])",
       "boolean:false"},
      {R"([["52", "a", ["7", 1, 2, 3, 4]], ["43", ["15", "a"], "length", 2], ["15", "a"]])", "object:1,2"},
      {R"([["52", "a", ["7", 1]], ["43", ["15", "a"], "length", -1]])", nullptr, 11},
      {R"([["52", "a", ["7", 1]], ["43", ["15", "a"], "length", 1.5]])", nullptr, 11},
      {R"([["52", "a", ["7"]], ["43", ["15", "a"], "name", 7], ["16", ["15", "a"], "name"]])", "number:7"},
      {R"([["40", true]])", "string:boolean"},
      {R"([["40", ["51", "f", ["7"]]]])", "string:function"},
      {R"([["40", 1]])", "string:number"},
      {R"([["40", ["45"]]])", "string:object"},
      {R"([["40", ["7"]]])", "string:object"},
      {R"([["40", "s"]])", "string:string"},
      {R"([["40", ["44"]]])", "string:undefined"},
      {R"([["45", 1]])", nullptr, 9},
      {R"([["44"]])", "undefined:undefined"},
  });
}

TEST(TLWPInstructionsTest, ControlFlowAndFunctions) {
  runTable({
      {R"([["22", true]])", "undefined:undefined"},
      {R"([["22", 1, "yes", "no"]])", "string:yes"},
      {R"([["22", 0, "yes", "no"]])", "string:no"},
      {R"([["22", 1, ["46", ["52", "z", 3], ["0", ["15", "z"], 1]]]])", "number:4"},
      {R"([["22"]])", nullptr, 9},
      {R"([["39", ["45"], 1, 2]])", "number:2"},
      {R"([["50", "add", ["7", "a", "b"], ["36", ["0", ["15", "a"], ["15", "b"]]]], ["add", 2, 3]])", "number:5"},
      {R"([["50", "f", ["7", "a", "b"], ["36", ["15", "b"]]], ["f", 1]])", "undefined:undefined"},
      {R"([["50", "f", ["7"], "last"], ["f"]])", "string:last"},
      {R"([["50", "f", ["7"]], ["2", ["15", "f"], "toString", ["7"]]])", "string:f"},
      {R"([["50", "f", 1]])", nullptr, 10},
      {R"([["50", "f"]])", nullptr, 9},
      {R"([["52", "n", 5], ["2", ["15", "n"], "toString", ["7"]]])", "string:5"},
      {R"([["2", 5, "toFixed", ["7"]]])", nullptr, 17},
      {R"([["2", ["45"], "toString", ["7"]]])", nullptr, 7},
      {R"([["2", "abc", 1, ["7"]]])", nullptr, 10},
      {R"([["2", "abc", "toString", "not a list"]])", nullptr, 10},
      {R"([["52", "m", ["8", "f", ["51", "", ["7", "x"], ["36", ["26", ["15", "x"], 2]]]]], ["2", ["15", "m"], "f", ["7", 4]]])",
       "number:8"},
      {R"([["52", "m", ["8", "f", 1]], ["2", ["15", "m"], "f", ["7"]]])", nullptr, 17},
      {R"([["52", "m", ["8", "f", 1]], ["2", ["15", "m"], "hasOwnProperty", ["7", "f"]]])", "boolean:true"},
      {R"([["52", "m", ["8"]], ["2", ["15", "m"], "hasOwnProperty", ["7"]]])", nullptr, 9},
      {R"([["52", "m", ["8"]], ["2", ["15", "m"], "toString", ["7"]]])", "string:[object Object]"},
      {R"([["36", 1, 2]])", nullptr, 9},
      {R"([["4", 1]])", nullptr, 9},
      {R"([["13", 1, 2, 3]])", "number:3"},
      {R"([["13", 1, ["4"]]])", nullptr, 10},
      {R"([["9", ["46", ["52", "q", 2], ["15", "q"]]]])", "number:2"},
      {R"([["5", 1]])", nullptr, 10},
      {R"([["53", ["52", "b", 1], ["15", "b"]]])", "number:1"},
      {R"([["unknownFunction", 1]])", "undefined:undefined"},
      // switch: the second case matches and falls through to the default; a break stops it.
      {R"([["41", "log"], ["3", "log", ""],
           ["38", 2, ["46", 1, 2, 3],
             ["46", ["3", "log", ["0", ["15", "log"], "a"]], ["3", "log", ["0", ["15", "log"], "b"]],
                    ["3", "log", ["0", ["15", "log"], "c"]], ["3", "log", ["0", ["15", "log"], "d"]]]],
           ["15", "log"]])",
       "string:bcd"},
      {R"([["41", "log"], ["3", "log", ""],
           ["38", 2, ["46", 1, 2, 3],
             ["46", ["3", "log", "a"], ["46", ["3", "log", "b"], ["4"]], ["3", "log", "c"], ["3", "log", "d"]]],
           ["15", "log"]])",
       "string:b"},
      {R"([["38", 9, ["46", 1], ["46", "one", "default"]]])", "undefined:undefined"},
      {R"([["38", 1, 2, ["46"]]])", nullptr, 9},
  });
}

TEST(TLWPInstructionsTest, Loops) {
  runTable({
      // while (i < 5) i = i + 1
      {R"([["41", "i"], ["3", "i", 0], ["42", ["23", ["15", "i"], 5], ["44"], false, ["46", ["3", "i", ["0", ["15", "i"], 1]]]], ["15", "i"]])",
       "number:5"},
      // do-while with a false condition runs once
      {R"([["41", "i"], ["3", "i", 0], ["42", false, ["44"], true, ["46", ["3", "i", ["0", ["15", "i"], 1]]]], ["15", "i"]])",
       "number:1"},
      // break ends the loop with undefined; return passes through
      {R"([["41", "i"], ["3", "i", 0], ["42", true, ["3", "i", ["0", ["15", "i"], 1]], false, ["46", ["22", ["19", ["15", "i"], 3], ["46", ["4"]]]]], ["15", "i"]])",
       "number:3"},
      {R"([["50", "f", ["7"], ["42", true, ["44"], false, ["46", ["36", "out"]]]], ["f"]])", "string:out"},
      // continue skips the rest of the body but still steps
      {R"([["41", "i", "s"], ["3", "i", 0], ["3", "s", ""],
           ["42", ["23", ["15", "i"], 4], ["3", "i", ["0", ["15", "i"], 1]], false,
             ["46", ["22", ["20", ["15", "i"], 2], ["46", ["6"]]], ["3", "s", ["0", ["15", "s"], ["15", "i"]]]]],
           ["15", "s"]])",
       "string:013"},
      {R"([["42", true, 1, false]])", nullptr, 9},
      {R"([["42", false, ["44"], false, 5]])", nullptr, 10},
      // for (let i = 0; i < 3; i++) fns.push(() => i); each closure keeps its own i
      {R"([["41", "i"], ["3", "i", 0], ["52", "fns", ["7"]],
           ["63", ["7", "i"], ["23", ["15", "i"], 3], ["3", "i", ["0", ["15", "i"], 1]],
             ["46", ["2", ["15", "fns"], "push", ["7", ["51", "", ["7"], ["36", ["15", "i"]]]]]]],
           ["0", ["0", ["2", ["17", ["15", "fns"], 0], "call", ["7"]], ""], ""]])",
       nullptr, 17},
      {R"([["41", "i"], ["3", "i", 0], ["52", "fns", ["7"]],
           ["63", ["7", "i"], ["23", ["15", "i"], 3], ["3", "i", ["0", ["15", "i"], 1]],
             ["46", ["2", ["15", "fns"], "push", ["7", ["51", "", ["7"], ["36", ["15", "i"]]]]]]],
           ["2", ["2", ["15", "fns"], "map", ["7", ["51", "", ["7", "f"], ["36", ["f"]]]]], "join", ["7", "-"]]])",
       "string:0-1-2"},
      {R"([["63", 1, true, 1, ["46"]]])", nullptr, 10},
      // for-in over an array: named properties, then present indices
      {R"([["52", "a", ["7", 1]], ["43", ["15", "a"], 2, 3], ["43", ["15", "a"], "x", 0], ["41", "keys", "k"], ["3", "keys", ""],
           ["47", "k", ["15", "a"], ["46", ["3", "keys", ["0", ["15", "keys"], ["15", "k"]]]]], ["15", "keys"]])",
       "string:x02"},
      {R"([["41", "n"], ["3", "n", 0], ["47", "k", 5, ["46", ["3", "n", 1]]], ["15", "n"]])", "number:0"},
      {R"([["41", "s"], ["3", "s", ""], ["54", "k", ["8", "p", 1, "q", 2], ["46", ["3", "s", ["0", ["15", "s"], ["15", "k"]]]]], ["15", "s"]])",
       "string:pq"},
      {R"([["41", "s"], ["3", "s", ""], ["55", "k", "ab", ["46", ["3", "k", "z"], ["3", "s", ["0", ["15", "s"], ["15", "k"]]]]], ["15", "s"]])",
       "string:zz"},
      {R"([["41", "s", "c"], ["3", "s", ""], ["64", "c", "héy", ["46", ["3", "s", ["0", ["15", "s"], ["0", ["15", "c"], "."]]]]], ["15", "s"]])",
       "string:h.é.y."},
      {R"([["64", "c", 5, ["46"]]])", nullptr, 16},
      {R"([["41", "s"], ["3", "s", 0], ["65", "v", ["7", 1, 2, 3], ["46", ["3", "s", ["0", ["15", "s"], ["15", "v"]]]]], ["15", "s"]])",
       "number:6"},
      {R"([["41", "s"], ["3", "s", ""], ["65", "v", ["7", 1], ["46", ["3", "v", 9], ["3", "s", ["15", "v"]]]], ["15", "s"]])",
       "number:1"},
      {R"([["66", "v", ["7", 1], 5]])", nullptr, 10},
  });
}

TEST(TLWPInstructionsTest, ArrayMethods) {
  auto m = [](std::string array, std::string method, std::string args) {
    return R"([["2", )" + array + R"(, ")" + method + R"(", ["7")" + (args.empty() ? "" : ", " + args) + "]]]";
  };
  const std::string a123 = R"(["7", 1, 2, 3])";
  std::vector<std::pair<std::string, std::string>> rows = {
      {m(a123, "concat", R"(["7", 4, 5], 6)"), "object:1,2,3,4,5,6"},
      {m(a123, "every", R"(["51", "", ["7", "x"], ["36", ["18", ["15", "x"], 0]]])"), "boolean:true"},
      {m(a123, "some", R"(["51", "", ["7", "x"], ["36", ["18", ["15", "x"], 2]]])"), "boolean:true"},
      {m(a123, "filter", R"(["51", "", ["7", "x"], ["36", ["25", ["15", "x"], 2]]])"), "object:1,3"},
      {m(a123, "map", R"(["51", "", ["7", "x", "i"], ["36", ["26", ["15", "x"], ["15", "i"]]]])"), "object:0,2,6"},
      {m(a123, "forEach", R"(["51", "", ["7", "x"]])"), "undefined:undefined"},
      {m(a123, "map", "1"), "error:10"},
      {m(a123, "map", ""), "error:9"},
      {m(a123, "hasOwnProperty", R"("length")"), "boolean:true"},
      {m(a123, "hasOwnProperty", "5"), "boolean:false"},
      {m(a123, "indexOf", "2"), "number:1"},
      {m(R"(["7", ["10", 0, 0]])", "indexOf", R"(["10", 0, 0])"), "number:-1"},
      {m(a123, "indexOf", "1, -1"), "number:-1"},
      {m(a123, "indexOf", "3, -1"), "number:2"},
      {m(a123, "indexOf", "1, 5"), "number:-1"},
      {m(R"(["7", 1, 2, 1])", "lastIndexOf", "1"), "number:2"},
      {m(R"(["7", 1, 2, 1])", "lastIndexOf", "1, -2"), "number:0"},
      {m(R"(["7", 1, 2, 1])", "lastIndexOf", "1, -9"), "number:-1"},
      {m(R"(["7", 1, ["45"], ["44"], "x"])", "join", ""), "string:1,,,x"},
      {m(a123, "join", R"(["44"])"), "string:123"},
      {m(a123, "join", R"(" + ")"), "string:1 + 2 + 3"},
      {m(a123, "pop", ""), "number:3"},
      {m(R"(["7"])", "pop", ""), "undefined:undefined"},
      {m(a123, "push", R"(4, 5)"), "number:5"},
      {m(a123, "shift", ""), "number:1"},
      {m(a123, "unshift", R"(0, 0)"), "number:5"},
      {m(a123, "reverse", ""), "object:3,2,1"},
      {m(a123, "slice", "-2"), "object:2,3"},
      {m(a123, "slice", "1, -1"), "object:2"},
      {m(a123, "slice", "1, 2, 3"), "error:9"},
      {m(a123, "splice", "1"), "object:2,3"},
      {m(a123, "splice", "1, 1, 8, 9"), "object:2"},
      {m(a123, "splice", ""), "object:"},
      {m(R"(["7", 10, 9, 1])", "sort", ""), "object:1,10,9"},
      {m(R"(["7", 3, ["44"], 1])", "sort", ""), "object:1,3,"},
      {m(R"(["7", 10, 9, 1])", "sort", R"(["51", "", ["7", "a", "b"], ["36", ["37", ["15", "a"], ["15", "b"]]]])"),
       "object:1,9,10"},
      {m(R"(["7", 2, 1])", "sort", "5"), "error:10"},
      {m(R"(["7", 2, 1, 3])", "sort", R"(["51", "", ["7", "a", "b"], ["3", "nope", 1]])"), "error:2"},
      {m(a123, "reduce", R"(["51", "", ["7", "acc", "x"], ["36", ["0", ["15", "acc"], ["15", "x"]]]])"), "number:6"},
      {m(a123, "reduceRight", R"(["51", "", ["7", "acc", "x"], ["36", ["0", ["15", "acc"], ["15", "x"]]]], "")"),
       "string:321"},
      {m(R"(["7"])", "reduce", R"(["51", "", ["7"]])"), "error:8"},
      {m(R"(["7"])", "reduce", R"(["51", "", ["7"], ["3", "nope", 1]], "init")"), "string:init"},
      {m(a123, "reduce", ""), "error:9"},
      {m(a123, "toString", ""), "string:1,2,3"},
      {m(a123, "toString", "1"), "error:9"},
      {m(a123, "flatten", ""), "error:17"},
  };
  for (const auto& [program, want] : rows) EXPECT_EQ(run(program), want) << program;

  // Holes: made by assigning past the end.
  const std::string sparse = R"([["52", "a", ["7", "p"]], ["43", ["15", "a"], 2, "r"],)";
  EXPECT_EQ(run(sparse + R"(["17", ["2", ["15", "a"], "map", ["7", ["51", "", ["7", "x"], ["36", 1]]]], "length"]])"),
            "number:3");
  EXPECT_EQ(run(sparse + R"(["2", ["2", ["15", "a"], "map", ["7", ["51", "", ["7", "x"], ["36", 1]]]], "hasOwnProperty", ["7", 1]]])"),
            "boolean:false");
  EXPECT_EQ(run(sparse + R"(["43", ["15", "a"], "length", 4], ["17", ["2", ["15", "a"], "map", ["7", ["51", "", ["7", "x"], ["36", 1]]]], "length"]])"),
            "number:3");
  EXPECT_EQ(run(sparse + R"(["2", ["15", "a"], "sort", ["7"]], ["2", ["15", "a"], "hasOwnProperty", ["7", 2]]])"),
            "boolean:false");
  // A method stored on the array itself wins over the table; a non-function is an error.
  EXPECT_EQ(run(sparse + R"(["43", ["15", "a"], "push", 1], ["2", ["15", "a"], "push", ["7"]]])"), "error:17");
}

TEST(TLWPInstructionsTest, StringMethods) {
  auto m = [](std::string target, std::string method, std::string args) {
    return R"([["2", ")" + target + R"(", ")" + method + R"(", ["7")" + (args.empty() ? "" : ", " + args) + "]]]";
  };
  std::vector<std::pair<std::string, std::string>> rows = {
      {m("abc", "charAt", "1"), "string:b"},
      {m("abc", "charAt", "-1"), "string:"},
      {m("abc", "concat", R"(1, ["45"])"), "string:abc1null"},
      {m("abc", "hasOwnProperty", "2"), "boolean:true"},
      {m("abc", "hasOwnProperty", "3"), "boolean:false"},
      {m("abc", "hasOwnProperty", R"("length")"), "boolean:true"},
      {m("abcabc", "indexOf", R"("c", 3)"), "number:5"},
      {m("abc", "indexOf", ""), "number:-1"},
      {m("abcundefined", "indexOf", ""), "number:3"},
      {m("abcabc", "lastIndexOf", R"("abc")"), "number:3"},
      {m("abcabc", "lastIndexOf", R"("abc", 2)"), "number:0"},
      {m("abcabc", "lastIndexOf", R"("x")"), "number:-1"},
      {m("hello world", "match", R"("o\\s?w")"), "object:o w"},
      {m("hello", "match", R"("z+")"), "object:null"},
      {m("hello", "match", ""), "object:"},
      {m("hello", "match", R"("(")"), "error:" + std::to_string(U_REGEX_MISMATCHED_PAREN)},
      {m("hello", "search", R"("l+")"), "number:2"},
      {m("hello", "search", R"("")"), "number:0"},
      {m("hello", "search", R"("z")"), "number:-1"},
      {m("a-b-c", "replace", R"("-", "$&")"), "string:a$&b-c"},
      {m("abc", "replace", R"("x", "y")"), "string:abc"},
      {m("abc", "replace", R"("", "_")"), "string:_abc"},
      {m("abc", "replace", R"("b", ["51", "", ["7", "s", "at", "all"], ["36", ["0", ["15", "at"], ["15", "all"]]]])"),
       "string:a1abcc"},
      {m("hello", "slice", "3, 1"), "string:"},
      {m("hello", "slice", "-3"), "string:llo"},
      {m("hello", "substring", "3, 1"), "string:el"},
      {m("hello", "substring", "-5, 2"), "string:he"},
      {m("", "split", R"(",")"), "object:"},
      {m("a,b,c", "split", R"(",", 2)"), "object:a,b"},
      {m("a,b,c", "split", R"(",", -1)"), "object:a,b,c"},
      {m("a,b,c", "split", R"(",", 0)"), "object:"},
      {m("abc", "split", R"("")"), "object:a,b,c"},
      {m("abc", "split", ""), "object:abc"},
      {m("Straße", "toUpperCase", ""), "string:STRASSE"},
      {m("ÀB", "toLowerCase", ""), "string:àb"},
      {m("abc", "toLocaleUpperCase", ""), "string:ABC"},
      {m("abc", "toUpperCase", "1"), "error:9"},
      {m("abc", "toString", ""), "string:abc"},
      {R"([["2", " \n\t x y \u00a0", "trim", ["7"]]])", "string:x y"},
      {m("abc", "padStart", "5"), "error:17"},
  };
  for (const auto& [program, want] : rows) EXPECT_EQ(run(program), want) << program;
}

TEST(TLWPInstructionsTest, ModulesAndProgramEntities) {
  EXPECT_EQ(run(R"([["2", ["require", "internal.platform"], "getVersion", ["7"]]])"), "number:0");
  EXPECT_EQ(run(R"([["require", "no.such.module"]])"), "undefined:undefined");
  EXPECT_EQ(run(R"([["require"]])"), "error:9");

  TLWPRuntime runtime;
  runtime.setModuleCreator("broken", [](TLWPRuntime&) { return TLWPValueRef(); });
  TLWPError error;
  runtime.requireModule(u"broken", error);
  EXPECT_EQ(error.code, 15);

  // Entities the compact form cannot spell: an unknown type and a nameless statement.
  auto entity = TLWPBRuntimeEntity::initWithMessageInfo();
  entity->SetInt32(TLWPBRuntimeEntity::kType, 7);
  TLWPError unknown;
  TLWPRuntimeEntityConverter::valueFromEntity(entity->messageInfo(), unknown);
  EXPECT_EQ(unknown.code, 12);
  entity->SetInt32(TLWPBRuntimeEntity::kType, 4);
  TLWPError nameless;
  TLWPRuntimeEntityConverter::valueFromEntity(entity->messageInfo(), nameless);
  EXPECT_EQ(nameless.code, 14);
  // A number entity without its value reads as NaN.
  entity->SetInt32(TLWPBRuntimeEntity::kType, 2);
  TLWPError none;
  auto nan = TLWPRuntimeEntityConverter::valueFromEntity(entity->messageInfo(), none);
  EXPECT_FALSE(none.failed());
  EXPECT_TRUE(nan->isNumber() && std::isnan(static_cast<TLWPNumberValue&>(*nan).value));

  // Plain objects that have no runtime form.
  TLWPError notPlain;
  TLWPRuntimeEntityConverter::runtimeValueFromObject(platform::Value::data(std::string_view("x")), notPlain);
  EXPECT_EQ(notPlain.code, 13);
}

TEST(TLWPInstructionsTest, SortCountsSlotsAndLoggersRouteByLevel) {
  // Two slots, one element after a hole: the element moves to the front.
  EXPECT_EQ(run(R"([["52", "a", ["7"]], ["43", ["15", "a"], 1, 1], ["2", ["15", "a"], "sort", ["7"]],
                   ["17", ["15", "a"], 0]])"),
            "number:1");

  // "unmonitored" stays out of the uploaded health sample (levels 0 and 3 are not
  // sampled); "silent" stays off the console but is sampled (levels 2 and 5).
  std::vector<std::pair<std::int64_t, std::string>> logged;
  TLWPRuntime runtime;
  runtime.setModuleCreator("internal.logger", [&logged](TLWPRuntime&) {
    return tlwp_modules::makeMessageLogger(
        [&logged](std::int64_t level, std::string_view message) { logged.emplace_back(level, std::string(message)); });
  });
  std::string problem;
  auto message = tools::programFromJson(nlohmann::json::parse(R"([["52", "l", ["require", "internal.logger"]],
      ["2", ["15", "l"], "log", ["7", 4, "a"]], ["2", ["15", "l"], "silent", ["7", 4, "b"]],
      ["2", ["15", "l"], "silent", ["7", 1, "c"]], ["2", ["15", "l"], "unmonitored", ["7", 4, "d"]],
      ["2", ["15", "l"], "unmonitored", ["7", 1, "e"]], ["2", ["15", "l"], "unmonitored", ["7", 7, "f"]]])"),
                                        &problem);
  ASSERT_TRUE(message) << problem;
  TLWPError error;
  runtime.executeStatements(
      TLWPRuntimeEntityConverter::valuesFromEntities(message->messageInfo(), TLWPBProgram::kInstructions, error), error);
  ASSERT_FALSE(error.failed()) << error.message;
  const std::vector<std::pair<std::int64_t, std::string>> expected = {{4, "a"}, {5, "b"}, {2, "c"},
                                                                      {3, "d"}, {0, "e"}, {7, "f"}};
  EXPECT_EQ(logged, expected);
}

}  // namespace
