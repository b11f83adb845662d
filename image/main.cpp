// trm310: the board's programs in one multi-call image. It runs as the
// program its name says (/quarne/bin/qysc is a link to it) or, run under
// its own name, as the program its first argument names:
//
//   qysc --ver            trm310 qysc --ver
//   trm310 --list         the program names, one a line
//
// Any other name prints the usage with the program list and ends with 2.
#include <stdio.h>
#include <string.h>

int qysc_main(int argc, char **argv);
int celmon_main(int argc, char **argv);
int simgate_main(int argc, char **argv);
int seekresp_main(int argc, char **argv);
int portprobe_main(int argc, char **argv);
int lampcheck_main(int argc, char **argv);
int dogctl_main(int argc, char **argv);

namespace {

struct Program {
  const char *name;
  int (*run)(int argc, char **argv);
};

constexpr Program kPrograms[] = {
    {"qysc", qysc_main},           {"celmon", celmon_main},       {"simgate", simgate_main},
    {"seekresp", seekresp_main},   {"portprobe", portprobe_main}, {"lampcheck", lampcheck_main},
    {"dogctl", dogctl_main},
};

constexpr const char *kImageName = "trm310";
constexpr int kExitUsage = 2;

const char *base_name(const char *path) {
  const char *slash = strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

const Program *find_program(const char *name) {
  for (const Program &p : kPrograms) {
    if (strcmp(p.name, name) == 0) return &p;
  }
  return nullptr;
}

int list_programs() {
  for (const Program &p : kPrograms) puts(p.name);
  return 0;
}

// `unknown`: the name that was asked for, or null when none was.
int usage(const char *unknown) {
  if (unknown != nullptr) printf("%s: no program named '%s'\n", kImageName, unknown);
  printf("Usage: %s PROGRAM [ARGUMENTS]...\n", kImageName);
  printf("   or: PROGRAM [ARGUMENTS]...   (PROGRAM a link to %s)\n", kImageName);
  printf("   or: %s --list\n\nPrograms:", kImageName);
  for (const Program &p : kPrograms) printf(" %s", p.name);
  printf("\n");
  return kExitUsage;
}

}  // namespace

int main(int argc, char **argv) {
  const char *self = argc > 0 ? base_name(argv[0]) : kImageName;
  if (const Program *p = find_program(self)) return p->run(argc, argv);
  if (argc < 2) return usage(strcmp(self, kImageName) == 0 ? nullptr : self);
  if (const Program *p = find_program(argv[1])) return p->run(argc - 1, argv + 1);
  if (strcmp(argv[1], "--list") == 0) return list_programs();
  return usage(argv[1]);
}
