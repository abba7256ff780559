// Fault injection through the platform door: the armed fault decides, call
// by call, whether an operation fails as the device's call would.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/host/internal.h"

namespace host {

namespace {

struct OpName {
  FaultOp op;
  const char* name;
};

const OpName kOpNames[] = {
    {FaultOp::kAny, "any"},
    {FaultOp::kOpen, "open"},
    {FaultOp::kRead, "read"},
    {FaultOp::kFind, "find"},
    {FaultOp::kMove, "move"},
    {FaultOp::kDelete, "delete"},
    {FaultOp::kAttributes, "attributes"},
    {FaultOp::kMakeFolder, "mkdir"},
    {FaultOp::kRemoveFolder, "rmdir"},
    {FaultOp::kRegOpen, "reg_open"},
    {FaultOp::kRegCreate, "reg_create"},
    {FaultOp::kRegSet, "reg_set"},
    {FaultOp::kRegQuery, "reg_query"},
    {FaultOp::kRegDelete, "reg_delete"},
    {FaultOp::kRegFlush, "reg_flush"},
    {FaultOp::kProcess, "process"},
    {FaultOp::kWait, "wait"},
};

const char* NameOf(FaultOp op) {
  for (const OpName& entry : kOpNames) {
    if (entry.op == op) return entry.name;
  }
  return "none";
}

Fault g_fault;
FaultCount g_count;
bool g_announce = false;
int g_paused = 0;

}  // namespace

bool ParseFault(const std::string& text, Fault* fault, std::string* error) {
  std::string names;
  for (const OpName& entry : kOpNames) {
    if (!names.empty()) names += ", ";
    names += entry.name;
  }
  auto fail = [&](const std::string& what) {
    *error = "fault '" + text + "': " + what +
             " (expected OP:N or OP:N:persist, N from 1, OP one of " + names + ")";
    return false;
  };
  std::size_t colon = text.find(':');
  if (colon == std::string::npos) return fail("no call number");
  std::string op_name = text.substr(0, colon);
  std::string rest = text.substr(colon + 1);
  bool persistent = false;
  std::size_t second = rest.find(':');
  if (second != std::string::npos) {
    if (rest.substr(second + 1) != "persist") return fail("the third part can only be 'persist'");
    persistent = true;
    rest.resize(second);
  }
  Fault parsed;
  for (const OpName& entry : kOpNames) {
    if (op_name == entry.name) parsed.op = entry.op;
  }
  if (parsed.op == FaultOp::kNone) return fail("unknown operation '" + op_name + "'");
  if (rest.empty() || rest.size() > 9 || rest.find_first_not_of("0123456789") != std::string::npos) {
    return fail("bad call number '" + rest + "'");
  }
  parsed.nth = std::strtoul(rest.c_str(), nullptr, 10);
  if (parsed.nth == 0) return fail("calls are counted from 1");
  parsed.persistent = persistent;
  *fault = parsed;
  return true;
}

FaultCount FaultResult() { return g_count; }

void ArmFault(const Fault& fault, bool announce) {
  g_fault = fault;
  g_count = FaultCount{};
  g_announce = announce;
}

FaultPause::FaultPause() { ++g_paused; }
FaultPause::~FaultPause() { --g_paused; }

bool InjectFault(FaultOp op) {
  if (g_paused > 0 || g_fault.op == FaultOp::kNone || (g_fault.op != FaultOp::kAny && g_fault.op != op)) {
    return false;
  }
  ++g_count.calls;
  bool fail = g_fault.persistent ? g_count.calls >= g_fault.nth : g_count.calls == g_fault.nth;
  if (!fail) return false;
  ++g_count.failed;
  if (g_announce) {
    std::fflush(stdout);
    std::fprintf(stderr, "brandsim: injected fault: %s call %lu fails (%s)\n", NameOf(g_fault.op),
                 g_count.calls, NameOf(op));
  }
  return true;
}

}  // namespace host
