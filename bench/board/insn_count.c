/* A TCG plugin for qemu-arm that counts the guest's executed instructions
 * (an inline add per translation block, so the guest runs at nearly its
 * usual emulated speed) and the distinct 4 KB pages of code it ran; with
 * touch=1 also every page the guest read or wrote (a callback per memory
 * access: slow), which is what a kernel without fault-around would hold
 * resident for it. It writes the figures at exit and, for a program that
 * runs on, at most once a second from its system calls:
 *
 *   qemu-arm -cpu pxa270 -plugin ./insn_count.so,out=FILE[,touch=1][,live=LIVE] program ...
 *
 *   FILE: "insns N pages P touched T" (T: code and data pages, 0 without
 *   touch=1), then the touched pages' numbers in hex, one a line
 *   LIVE: the counts as they run, for a reader to take at any moment (a
 *   program waiting in a system call adds nothing meanwhile): a file of
 *   LIVE_WORDS little-endian 64-bit words, word 0 the instructions, word
 *   1 + n the system calls of number n (the guest's numbering) entered
 *
 * Debian's qemu ships the plugin interface but not its header, so the few
 * calls used are declared here as the interface (version 1, qemu 7.x)
 * defines them. Built by bench/tls_handshake.py for the host:
 *   cc -O2 -shared -fPIC -o insn_count.so insn_count.c */
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

typedef uint64_t qemu_plugin_id_t;
typedef struct qemu_info_t qemu_info_t;
struct qemu_plugin_tb;
struct qemu_plugin_insn;
typedef uint32_t qemu_plugin_meminfo_t;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
enum qemu_plugin_cb_flags { QEMU_PLUGIN_CB_NO_REGS };
enum qemu_plugin_mem_rw { QEMU_PLUGIN_MEM_R = 1, QEMU_PLUGIN_MEM_W, QEMU_PLUGIN_MEM_RW };
typedef void (*mem_cb_t)(unsigned int vcpu, qemu_plugin_meminfo_t info, uint64_t vaddr,
                         void *userdata);
typedef void (*syscall_cb_t)(qemu_plugin_id_t id, unsigned int vcpu, int64_t num, uint64_t a1,
                             uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5, uint64_t a6,
                             uint64_t a7, uint64_t a8);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id,
                                           void (*cb)(qemu_plugin_id_t, struct qemu_plugin_tb *));
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op,
                                              void *ptr, uint64_t imm);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, void (*cb)(qemu_plugin_id_t, void *),
                                    void *userdata);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
uint64_t qemu_plugin_tb_vaddr(const struct qemu_plugin_tb *tb);
struct qemu_plugin_insn *qemu_plugin_tb_get_insn(const struct qemu_plugin_tb *tb, size_t idx);
void qemu_plugin_register_vcpu_mem_cb(struct qemu_plugin_insn *insn, mem_cb_t cb,
                                      enum qemu_plugin_cb_flags flags, enum qemu_plugin_mem_rw rw,
                                      void *userdata);
void qemu_plugin_register_vcpu_syscall_cb(qemu_plugin_id_t id, syscall_cb_t cb);

__attribute__((visibility("default"))) int qemu_plugin_version = 1;

#define PAGES (1u << 20) /* 4 GB of guest addresses in 4 KB pages */
#define LIVE_WORDS 1024  /* the instructions, then system calls 0..1022 */

static uint64_t own[LIVE_WORDS];
static uint64_t *live = own; /* word 0: instructions; 1 + n: system call n */
#define insns live[0]
static uint8_t ran[PAGES / 8];
static uint8_t touched[PAGES / 8];
static int touch;
static time_t last_report;
static char out_path[256] = "/dev/stderr";

static void mark(uint8_t *map, uint64_t vaddr) {
  const uint32_t page = (uint32_t)(vaddr >> 12) & (PAGES - 1);
  map[page / 8] |= (uint8_t)(1u << (page % 8));
}

static unsigned count(const uint8_t *map) {
  unsigned n = 0;
  for (size_t i = 0; i < PAGES / 8; i++) n += (unsigned)__builtin_popcount(map[i]);
  return n;
}

static void map_live(const char *path) {
  const int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ftruncate(fd, sizeof own) != 0) return;
  void *p = mmap(NULL, sizeof own, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p != MAP_FAILED) live = p;
}

static void on_access(unsigned int vcpu, qemu_plugin_meminfo_t info, uint64_t vaddr, void *ud) {
  (void)vcpu;
  (void)info;
  (void)ud;
  mark(touched, vaddr);
}

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  const size_t n = qemu_plugin_tb_n_insns(tb);
  mark(ran, qemu_plugin_tb_vaddr(tb));
  mark(touched, qemu_plugin_tb_vaddr(tb));
  qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &live[0], n);
  for (size_t i = 0; touch && i < n; i++) {
    qemu_plugin_register_vcpu_mem_cb(qemu_plugin_tb_get_insn(tb, i), on_access,
                                     QEMU_PLUGIN_CB_NO_REGS, QEMU_PLUGIN_MEM_RW, NULL);
  }
}

static void report(void) {
  FILE *f = fopen(out_path, "w");
  if (f == NULL) return;
  fprintf(f, "insns %llu pages %u touched %u\n", (unsigned long long)insns, count(ran),
          touch ? count(touched) : 0);
  for (uint32_t page = 0; touch && page < PAGES; page++) {  /* then the pages, one a line */
    if (touched[page / 8] & (1u << (page % 8))) fprintf(f, "%05x\n", page);
  }
  fclose(f);
}

static void on_syscall(qemu_plugin_id_t id, unsigned int vcpu, int64_t num, uint64_t a1,
                       uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5, uint64_t a6,
                       uint64_t a7, uint64_t a8) {
  (void)id, (void)vcpu, (void)a1, (void)a2, (void)a3, (void)a4;
  (void)a5, (void)a6, (void)a7, (void)a8;
  if (num >= 0 && num < LIVE_WORDS - 1) live[1 + num]++;
  const time_t now = time(NULL);
  if (now == last_report) return;
  last_report = now;
  report();
}

static void on_exit(qemu_plugin_id_t id, void *userdata) {
  (void)id;
  (void)userdata;
  report();
}

__attribute__((visibility("default"))) int qemu_plugin_install(qemu_plugin_id_t id,
                                                               const qemu_info_t *info, int argc,
                                                               char **argv) {
  (void)info;
  for (int i = 0; i < argc; i++) {
    if (strncmp(argv[i], "out=", 4) == 0) snprintf(out_path, sizeof out_path, "%s", argv[i] + 4);
    if (strcmp(argv[i], "touch=1") == 0) touch = 1;
    if (strncmp(argv[i], "live=", 5) == 0) map_live(argv[i] + 5);
  }
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
  qemu_plugin_register_vcpu_syscall_cb(id, on_syscall);
  qemu_plugin_register_atexit_cb(id, on_exit, NULL);
  return 0;
}
