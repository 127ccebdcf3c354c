#pragma once
/* A plain C face of the stand-in (sim/sim.h), for callers that cannot use
 * C++: the harness that runs the shipped 32-bit module under emulation loads
 * the stand-in as a shared library and drives it through these functions.
 *
 * The platform functions themselves (RegOpenKeyExA and the rest) need no
 * wrapper: they are already C functions of the same library.
 *
 * Roots are passed by their 32-bit value: 0x80000001 HKEY_CURRENT_USER,
 * 0x80000002 HKEY_LOCAL_MACHINE, 0x80000003 HKEY_USERS.
 *
 * The text results are lines, each ended by '\n'. The pointer stays valid
 * until the next call of any sim_*_text function. */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The registry and the handle table, as sim::Reset() and friends. */
void sim_reset(void);
void sim_set_current_user(const char* hive_name);
void sim_create_key(uint32_t root, const char* path);
void sim_put_value(uint32_t root, const char* path, const char* name,
                   uint32_t type, const uint8_t* bytes, size_t count);
void sim_put_string(uint32_t root, const char* path, const char* name,
                    const char* text);

/* Registry links, as sim::CreateLink() and sim::SetLinkPolicy(): follow_all
 * 0 refuses links from a user hive into the machine hive or another user's
 * hive, as Windows does (the setting after sim_reset()); 1 follows every
 * link, as Wine 8 does. */
void sim_create_link(uint32_t root, const char* path, uint32_t target_root,
                     const char* target_path);
void sim_set_link_policy(int follow_all);

/* refusal: 0 open, 1 create, 2 delete (sim::Refusal). */
void sim_refuse(uint32_t root, const char* path, int refusal, int subtree);
void sim_fail_call(size_t n, int32_t code);

/* Windows Installer: what MsiLocateComponentA reports for `code`. */
void sim_set_component_state(const char* code, int32_t state);

/* Windows and the virtual tick counter. Window handles fit in 32 bits.
 * reply: 0 never closes, 1 at once, 2 after `delay_ms` (sim::AgentReply). */
uint32_t sim_add_window(const char* class_name);
void sim_set_agent(uint32_t window, int reply, uint32_t delay_ms);
void sim_destroy_window(uint32_t window);
void sim_set_tick_count(uint32_t tick);
void sim_set_scheduler_delay(uint32_t ms);

/* What the module did and left behind. */
const char* sim_journal_text(void);
size_t sim_call_count(void);
/* The platform calls a run may make since the last reset (sim::CallBudget);
 * 0: no limit. A caller that cannot take the C++ exception the stand-in
 * throws past it (code run under emulation) stops its run itself before. */
size_t sim_call_budget(void);
const char* sim_dump_text(uint32_t root);
const char* sim_open_handles_text(void);
size_t sim_open_handle_count(void);
size_t sim_bad_closes(void);
/* One line per window, in creation order:
 * "w1 VLD_CLASS gone, messages: 16" or "... open, ...". */
const char* sim_windows_text(void);
/* "elapsed 2050 ms, tick 4294967295". */
const char* sim_clock_text(void);

#ifdef __cplusplus
}
#endif
