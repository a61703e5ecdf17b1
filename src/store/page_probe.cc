#include "store/page_probe.h"

#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstring>

// The probe is one load at a labelled instruction, followed by a return of
// 1; the handler moves a faulting probe's program counter to the label
// that returns 0. Written in assembly so that the load is exactly the
// instruction at the label and only registers a call may clobber change.
// The two architectures differ only in those instructions.
#if defined(__x86_64__)
#define MARROW_PROBE_LOAD "movzbl (%rdi), %eax\n  movl $1, %eax"
#define MARROW_PROBE_ZERO "xorl %eax, %eax"
#elif defined(__aarch64__)
#define MARROW_PROBE_LOAD "ldrb w1, [x0]\n  mov w0, #1"
#define MARROW_PROBE_ZERO "mov w0, #0"
#endif

#ifdef MARROW_PROBE_LOAD
#define MARROW_PAGE_PROBE 1
asm(R"(
  .text
  .p2align 4
  .globl marrow_probe_page
  .hidden marrow_probe_page
  .type marrow_probe_page, %function
marrow_probe_page:
  .globl marrow_probe_load
  .hidden marrow_probe_load
marrow_probe_load:
  )" MARROW_PROBE_LOAD R"(
  ret
  .globl marrow_probe_fault
  .hidden marrow_probe_fault
marrow_probe_fault:
  )" MARROW_PROBE_ZERO R"(
  ret
  .size marrow_probe_page, .-marrow_probe_page
)");
#endif

namespace marrow::store {

#if MARROW_PAGE_PROBE

extern "C" {
int marrow_probe_page(const void* p);
extern const char marrow_probe_load[];
extern const char marrow_probe_fault[];
}

namespace {

struct sigaction previous_action;

// Only async-signal-safe calls: the fault may interrupt anything.
void OnBusError(int signo, siginfo_t* info, void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
  greg_t& pc = uc->uc_mcontext.gregs[REG_RIP];
  if (pc == reinterpret_cast<greg_t>(marrow_probe_load)) {
    pc = reinterpret_cast<greg_t>(marrow_probe_fault);
    return;
  }
#else
  auto& pc = uc->uc_mcontext.pc;
  if (pc == reinterpret_cast<uintptr_t>(marrow_probe_load)) {
    pc = reinterpret_cast<uintptr_t>(marrow_probe_fault);
    return;
  }
#endif
  if (previous_action.sa_flags & SA_SIGINFO) {
    previous_action.sa_sigaction(signo, info, context);
    return;
  }
  if (previous_action.sa_handler == SIG_IGN && info->si_code <= 0) return;
  if (previous_action.sa_handler == SIG_DFL ||
      previous_action.sa_handler == SIG_IGN) {
    // The default action, for a fault or a signal sent: die of SIGBUS.
    signal(signo, SIG_DFL);
    raise(signo);
    return;
  }
  previous_action.sa_handler(signo);
}

bool Install() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_sigaction = OnBusError;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  return sigaction(SIGBUS, &action, &previous_action) == 0;
}

}  // namespace

bool PageProbeReady() {
  static const bool ready = Install();
  return ready;
}

bool ProbePage(const void* p) {
  return PageProbeReady() && marrow_probe_page(p) != 0;
}

#else

bool PageProbeReady() { return false; }
bool ProbePage(const void*) { return false; }

#endif

namespace {

// Read once, before any store opens: every range probe asks for it.
const uint64_t page_size = [] {
  const long got = sysconf(_SC_PAGESIZE);
  // A larger power of two than the real size is as sound, only probes
  // farther away.
  return got > 0 ? static_cast<uint64_t>(got) : uint64_t{1} << 16;
}();

}  // namespace

uint64_t PageSize() { return page_size; }

}  // namespace marrow::store
