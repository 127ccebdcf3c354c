#include "sim/c_api.h"

#include <string>
#include <vector>

#include "sim/sim.h"
#include "sim/state.h"

namespace {

RootKey Root(uint32_t value) { return static_cast<RootKey>(value); }

HWND Window(uint32_t value) {
  return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
}

std::string Text(const char* text) { return text ? text : ""; }

// Holds the text handed out last, so that the caller can read it through
// the returned pointer without taking ownership of anything.
const char* Lines(const std::vector<std::string>& lines) {
  static std::string joined;
  joined.clear();
  for (const std::string& line : lines) {
    joined += line;
    joined += '\n';
  }
  return joined.c_str();
}

}  // namespace

extern "C" {

void sim_reset(void) { sim::Reset(); }

void sim_set_current_user(const char* hive_name) {
  sim::SetCurrentUser(Text(hive_name));
}

void sim_create_key(uint32_t root, const char* path) {
  sim::CreateKey(Root(root), Text(path));
}

void sim_put_value(uint32_t root, const char* path, const char* name,
                   uint32_t type, const uint8_t* bytes, size_t count) {
  std::vector<std::uint8_t> data;
  if (bytes) data.assign(bytes, bytes + count);
  sim::PutValue(Root(root), Text(path), Text(name), type, std::move(data));
}

void sim_put_string(uint32_t root, const char* path, const char* name,
                    const char* text) {
  sim::PutString(Root(root), Text(path), Text(name), Text(text));
}

void sim_create_link(uint32_t root, const char* path, uint32_t target_root,
                     const char* target_path) {
  sim::CreateLink(Root(root), Text(path), Root(target_root), Text(target_path));
}

void sim_set_link_policy(int follow_all) {
  sim::SetLinkPolicy(follow_all ? sim::LinkPolicy::FollowAll
                                : sim::LinkPolicy::RefuseCrossHive);
}

void sim_refuse(uint32_t root, const char* path, int refusal, int subtree) {
  sim::Refuse(Root(root), Text(path), static_cast<sim::Refusal>(refusal),
              subtree != 0);
}

void sim_fail_call(size_t n, int32_t code) { sim::FailCall(n, code); }

void sim_set_component_state(const char* code, int32_t state) {
  sim::SetComponentState(Text(code), state);
}

uint32_t sim_add_window(const char* class_name) {
  return static_cast<uint32_t>(
      reinterpret_cast<std::uintptr_t>(sim::AddWindow(Text(class_name))));
}

void sim_set_agent(uint32_t window, int reply, uint32_t delay_ms) {
  sim::SetAgent(Window(window), static_cast<sim::AgentReply>(reply), delay_ms);
}

void sim_destroy_window(uint32_t window) { sim::DestroyWindow(Window(window)); }

void sim_set_tick_count(uint32_t tick) { sim::SetTickCount(tick); }

void sim_set_scheduler_delay(uint32_t ms) { sim::SetSchedulerDelay(ms); }

const char* sim_journal_text(void) { return Lines(sim::JournalText()); }

size_t sim_call_count(void) { return sim::CallCount(); }

size_t sim_call_budget(void) { return sim::CallBudget(); }

const char* sim_dump_text(uint32_t root) { return Lines(sim::Dump(Root(root))); }

const char* sim_open_handles_text(void) { return Lines(sim::OpenHandles()); }

size_t sim_open_handle_count(void) { return sim::OpenHandles().size(); }

size_t sim_bad_closes(void) { return sim::BadCloses(); }

const char* sim_windows_text(void) {
  std::vector<std::string> lines;
  for (const auto& entry : sim::TheState().windows) {
    const HWND handle = reinterpret_cast<HWND>(entry.first);
    std::string line = sim::WindowName(handle) + " " + entry.second.className +
                       (sim::WindowExists(handle) ? " open" : " gone") +
                       ", messages:";
    for (UINT message : sim::MessagesTo(handle)) {
      line += " " + std::to_string(message);
    }
    lines.push_back(line);
  }
  return Lines(lines);
}

const char* sim_clock_text(void) {
  const sim::State& s = sim::TheState();
  return Lines({"elapsed " + std::to_string(sim::ElapsedMs()) + " ms, tick " +
                std::to_string(static_cast<DWORD>(s.tickAtStart + s.elapsedMs))});
}

}  // extern "C"
