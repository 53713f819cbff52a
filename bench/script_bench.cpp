// The script interpreter against the same computation in plain C++ over platform::Value:
// a counted loop (interpretation), filter/map/reduce/sort over numbers (callbacks) and the
// string methods over a 100 KB text (the methods do the work). Each program runs in a fresh
// context of one runtime whose instruction budget is reset before every run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>

#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_runtime.h"
#include "measurement/script/apmp_test_support.h"
#include "measurement/script/apmp_text.h"
#include "platform/core/value.h"

namespace {

using apmp_test::num;
using apmp_test::op;
using apmp_test::str;
using platform::Value;

APMPValueRef get(const std::u16string& name) {
  return op(APMPCommandGet, {str(name)});
}
APMPValueRef assign(const std::u16string& name, APMPValueRef value) {
  return op(APMPCommandAssign, {str(name), std::move(value)});
}
APMPValueRef call(APMPValueRef receiver, const std::u16string& method, APMPValueList args) {
  return op(APMPCommandApply,
            {std::move(receiver), str(method), op(APMPCommandCreateArray, std::move(args))});
}
APMPValueRef fn(std::vector<std::u16string> params, APMPValueList body) {
  APMPValueList names;
  for (auto& p : params)
    names.push_back(str(p));
  APMPValueList args{str(u""), op(APMPCommandCreateArray, std::move(names))};
  args.insert(args.end(), body.begin(), body.end());
  return op(APMPCommandFn, std::move(args));
}
APMPValueRef ret(APMPValueRef v) {
  return op(APMPCommandReturn, {std::move(v)});
}

void runProgram(benchmark::State& state, const APMPValueList& program) {
  APMPRuntime runtime;
  for (auto _ : state) {
    runtime.resetInstructionCount();
    APMPContext ctx(&runtime);
    APMPValueRef result = runtime.executeStatements(program, ctx);
    if (ctx.failed()) {
      state.SkipWithError(("script failed with " + std::to_string(ctx.errorCode())).c_str());
      return;
    }
    benchmark::DoNotOptimize(result);
    runtime.collectGarbage();
  }
}

constexpr int kLoopCount = 100000;

// s = 0; i = 0; while (i < 100000) { s = s + (i * i) % 7; i = i + 1 }
// 100,000 passes take about 1.3 million evaluations, past the budget of one run (1,000,000), so
// the loop runs as four runs of 25,000 passes each (the budget reset before each, as between
// handled events); s, i and the bound live in the global scope between them.
constexpr int kPassesPerRun = kLoopCount / 4;

void BM_ScriptCountedLoop(benchmark::State& state) {
  const APMPValueRef body =
      op(APMPCommandQuote,
         {assign(u"s",
                 op(APMPCommandAdd,
                    {get(u"s"), op(APMPCommandModulus,
                                   {op(APMPCommandMultiply, {get(u"i"), get(u"i")}), num(7)})}))});
  const APMPValueRef condition = op(APMPCommandLessThan, {get(u"i"), get(u"n")});
  const APMPValueList start{op(APMPCommandVar, {str(u"s"), str(u"i"), str(u"n")}),
                            assign(u"s", num(0)), assign(u"i", num(0)), assign(u"n", num(0))};
  const APMPValueList passes{
      assign(u"n", op(APMPCommandAdd, {get(u"n"), num(kPassesPerRun)})),
      op(APMPCommandWhile,
         {condition, assign(u"i", op(APMPCommandAdd, {get(u"i"), num(1)})), condition, body}),
      get(u"s")};
  APMPRuntime runtime;
  for (auto _ : state) {
    for (const APMPValueList* program : {&start, &passes, &passes, &passes, &passes}) {
      runtime.resetInstructionCount();
      APMPContext ctx(&runtime);
      APMPValueRef result = runtime.executeStatements(*program, ctx);
      if (ctx.failed()) {
        state.SkipWithError(("script failed with " + std::to_string(ctx.errorCode())).c_str());
        return;
      }
      benchmark::DoNotOptimize(result);
    }
  }
}

void BM_CppCountedLoop(benchmark::State& state) {
  for (auto _ : state) {
    Value s(0.0);
    for (Value i(0.0); i.asDouble() < kLoopCount; i = Value(i.asDouble() + 1)) {
      s = Value(s.asDouble() + std::fmod(i.asDouble() * i.asDouble(), 7));
    }
    benchmark::DoNotOptimize(s);
  }
}

constexpr int kNumbers = 10000;

// The numbers 0..9999 scrambled: (i * 7919) % 10000.
double scrambled(int i) {
  return static_cast<double>((static_cast<long>(i) * 7919) % kNumbers);
}

// a = [...]; a.filter(v => v % 2 == 0).map(v => v * 3).sort((x, y) => y - x) and
// a.reduce((x, y) => x + y)
void BM_ScriptArrayCallbacks(benchmark::State& state) {
  APMPValueList numbers;
  for (int i = 0; i < kNumbers; ++i)
    numbers.push_back(num(scrambled(i)));
  const APMPValueRef even = fn(
      {u"v"}, {ret(op(APMPCommandEquals, {op(APMPCommandModulus, {get(u"v"), num(2)}), num(0)}))});
  const APMPValueRef triple = fn({u"v"}, {ret(op(APMPCommandMultiply, {get(u"v"), num(3)}))});
  const APMPValueRef sum = fn({u"x", u"y"}, {ret(op(APMPCommandAdd, {get(u"x"), get(u"y")}))});
  const APMPValueRef descending =
      fn({u"x", u"y"}, {ret(op(APMPCommandSubtract, {get(u"y"), get(u"x")}))});
  const APMPValueList program{
      op(APMPCommandVar, {str(u"a"), str(u"b")}), assign(u"a", op(APMPCommandCreateArray, numbers)),
      assign(u"b", call(call(call(get(u"a"), u"filter", {even}), u"map", {triple}), u"sort",
                        {descending})),
      op(APMPCommandAdd, {call(get(u"b"), u"reduce", {sum}), call(get(u"a"), u"reduce", {sum})})};
  runProgram(state, program);
}

void BM_CppArrayCallbacks(benchmark::State& state) {
  platform::ValueList numbers;
  for (int i = 0; i < kNumbers; ++i)
    numbers.emplace_back(scrambled(i));
  for (auto _ : state) {
    const Value a(numbers);
    platform::ValueList b;
    for (const Value& v : a.asList()) {
      if (std::fmod(v.asDouble(), 2) == 0) b.emplace_back(v.asDouble() * 3);
    }
    std::stable_sort(b.begin(), b.end(), [](const Value& x, const Value& y) {
      return y.asDouble() - x.asDouble() < 0;
    });
    Value total(0.0);
    for (const Value& v : b)
      total = Value(total.asDouble() + v.asDouble());
    for (const Value& v : a.asList())
      total = Value(total.asDouble() + v.asDouble());
    benchmark::DoNotOptimize(total);
  }
}

// About 100 KB of words, commas and line breaks.
std::u16string bigText() {
  std::u16string text;
  const char16_t* words[] = {u"alpha", u"beta", u"gamma", u"delta", u"level", u"score42"};
  for (int i = 0; text.size() < 100 * 1024; ++i) {
    text += words[i % 6];
    text += (i % 10 == 9) ? u"\n" : u",";
  }
  text += u"needle";
  return text;
}

// t.split(",").join(";").toUpperCase(), t.indexOf("needle"), t.replace("gamma", "G") and
// t.match("score[0-9]+$")
void BM_ScriptStringMethods(benchmark::State& state) {
  const APMPValueList program{
      op(APMPCommandVar, {str(u"t")}), assign(u"t", str(bigText())),
      op(APMPCommandCreateArray,
         {call(call(call(get(u"t"), u"split", {str(u",")}), u"join", {str(u";")}), u"toUpperCase",
               {}),
          call(get(u"t"), u"indexOf", {str(u"needle")}),
          call(get(u"t"), u"replace", {str(u"gamma"), str(u"G")}),
          call(get(u"t"), u"match", {str(u"delta,level,score[0-9]+")})})};
  runProgram(state, program);
}

// The same work on the UTF-8 text: split, join, ASCII upper case, find, replace the first, and
// the pattern's match as a find plus a digit scan.
void BM_CppStringMethods(benchmark::State& state) {
  const std::string source = APMPUtf8FromUtf16(bigText());
  for (auto _ : state) {
    const Value t(source);
    const std::string& text = t.asString();
    platform::ValueList pieces;
    for (std::size_t from = 0;;) {
      const std::size_t at = text.find(',', from);
      pieces.emplace_back(
          text.substr(from, at == std::string::npos ? std::string::npos : at - from));
      if (at == std::string::npos) break;
      from = at + 1;
    }
    std::string joined;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      if (i > 0) joined += ';';
      joined += pieces[i].asString();
    }
    std::transform(joined.begin(), joined.end(), joined.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const Value index(static_cast<double>(text.find("needle")));
    std::string replaced = text;
    replaced.replace(replaced.find("gamma"), 5, "G");
    const std::size_t m = text.find("delta,level,score");
    std::size_t end = m + 17;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
      ++end;
    const Value result = Value::list(
        {Value(joined), index, Value(replaced), Value::list({Value(text.substr(m, end - m))})});
    benchmark::DoNotOptimize(result);
  }
}

}  // namespace

BENCHMARK(BM_ScriptCountedLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CppCountedLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScriptArrayCallbacks)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CppArrayCallbacks)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScriptStringMethods)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CppStringMethods)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
