// The benchmark program, run under wine64 by scripts/bench.sh:
//
//   bench tree [--rounds N] [--shape wide|deep|bushy]
//   bench tree-requests        (with a wineserver that traces, -d1)
//   bench uninstall DLL [--hives N] [--keys N] [--rounds N]
//   bench agent DLL AGENT_EXE [--close-runs N] [--hung-runs N]
//
// Each subcommand says what it measures at its top; all print their results
// as "result <bench> <name> <value>" lines (bench_common.h).

#include <cstdio>
#include <cstring>

int TreeBench(int argc, char** argv);
int TreeRequests(int argc, char** argv);
int UninstallBench(int argc, char** argv);
int AgentBench(int argc, char** argv);

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "tree") == 0) return TreeBench(argc - 2, argv + 2);
  if (argc >= 2 && std::strcmp(argv[1], "tree-requests") == 0) {
    return TreeRequests(argc - 2, argv + 2);
  }
  if (argc >= 2 && std::strcmp(argv[1], "uninstall") == 0) {
    return UninstallBench(argc - 2, argv + 2);
  }
  if (argc >= 2 && std::strcmp(argv[1], "agent") == 0) return AgentBench(argc - 2, argv + 2);
  std::fprintf(stderr, "usage: bench tree|tree-requests|uninstall|agent ...\n");
  return 64;
}
