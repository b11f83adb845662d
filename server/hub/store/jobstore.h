// Fleet jobs as they are kept, and on disk (the registry's database, tables jobs and
// job_targets). The loop queues changes; one writer thread with its own
// connection stores them in order, a batch per transaction, and tells the
// loop which targets marked "tell" are stored (a target stored as sent
// may go out). A batch that fails is rolled back and tried again after the
// registry's back-off (a lost connection made again first), so nothing
// goes out that is not stored as sent.
//
// Hubs may share the tables: a target changes in the database only from
// the state (and, when sent, the holder) this hub last knew, so a target is
// claimed (pending → sent, holder this hub) by exactly one hub; a claim
// another hub won is told as lost, and the sync brings its real state.
#ifndef HUB_JOBSTORE_H
#define HUB_JOBSTORE_H

#include <stdint.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gateways/channels.h"
#include "store/worker.h"

namespace hub {

enum class TargetState : uint8_t { kPending, kSent, kDone, kFailed, kExpired, kCancelled };
constexpr size_t kTargetStates = 6;

struct JobTarget {
  std::string gw;
  TargetState state = TargetState::kPending;
  bool storing = false;  // sent, but not yet stored as such: nothing went out
  int64_t at = 0;        // wall ms of the last change
  std::string detail;    // done: the reply; failed: why
  std::string holder;    // sent and after: the hub that claimed it
};

struct Job {
  uint64_t id = 0;
  std::string origin;     // the hub it was made on
  Channel ch = Channel::kCfg;
  std::string commands;   // normalized
  std::string who;        // who made it
  std::string selection;  // the selection as asked, JSON text
  int64_t created = 0, deadline = 0;  // wall ms
  bool cancelled = false;
  std::vector<JobTarget> targets;  // by gateway ID
  size_t count[kTargetStates] = {};
  bool dirty = false;      // its MQTT status waits to be published
  uint32_t published = 0;  // ticks of its last status
};

// A target of a job, by the job's ID and its place.
struct TargetRef {
  uint64_t job;
  uint32_t k;
};

const char *target_state_name(TargetState s);
bool target_state_parse(const std::string &name, TargetState *s);

class JobStore {
 public:
  JobStore();
  ~JobStore();
  JobStore(const JobStore &) = delete;
  JobStore &operator=(const JobStore &) = delete;

  // Opens a connection to a registry whose schema is in place (Registry::open).
  bool open(const DbTarget &t, std::string *why);
  // Every stored job with its targets, oldest first (before start).
  bool load(std::vector<std::unique_ptr<Job>> *jobs, std::string *why);
  // The jobs whose rows were written from since on (a mark of Sync: a time
  // on SQLite, a transaction ID on PostgreSQL), and a job's
  // targets; the SQL is the sync's too (any connection).
  static bool read_jobs(Db &db, int64_t since, std::vector<std::unique_ptr<Job>> *jobs);
  static bool read_targets(Db &db, uint64_t job, std::vector<JobTarget> *out);
  // Targets written from since on: (job, target) pairs.
  static bool read_changed_targets(Db &db, int64_t since, std::vector<std::pair<uint64_t, JobTarget>> *out);
  void start() { worker_.start(); }  // the writer thread
  void stop() { worker_.stop(); }    // stores what waits and ends the writer thread

  // The loop's side.
  void put_job(const Job &j);  // the job and every target
  void put_cancelled(const Job &j);
  // Target k as it is now, changed from `from` (held by from_holder).
  void put_target(const Job &j, uint32_t k, bool tell, TargetState from, const std::string &from_holder);
  void drop_job(uint64_t id);
  // The targets put with tell that are stored since the last call; lost:
  // those whose change found the row changed by another hub.
  void take_stored(std::vector<TargetRef> *out, std::vector<TargetRef> *lost = nullptr);
  // Without the writer thread (tests): stores what waits now.
  bool write_waiting();

 private:
  // A change waiting to be stored: of job `job`, with the fields its kind uses.
  struct Op {
    enum Kind : uint8_t { kJob, kCancelled, kTarget, kDrop, kNewTarget };
    struct Made {  // kJob: the job as it was made
      Channel ch = Channel::kCfg;
      std::string commands, who, selection, origin;
      int64_t created = 0, deadline = 0;
    };
    struct Change {  // kTarget: what it changed from, and who hears it stored
      TargetState from = TargetState::kPending;
      std::string from_holder;
      uint32_t k = 0;     // its place in the job
      bool tell = false;  // told through take_stored
    };
    Op(Kind what, uint64_t id) : kind(what), job(id) {}
    Kind kind;
    uint64_t job;
    Made made;
    JobTarget target;  // kTarget, kNewTarget: the target as it is now
    Change change;
  };
  Db &db() { return worker_.db(); }
  void queue(Op op);
  bool write(const std::vector<Op> &ops, std::vector<bool> *lost);
  bool write_op(Db &db, const Op &op, int64_t at, bool *lost);

  std::mutex mu_;  // the queue and what was stored
  std::vector<Op> ops_;
  std::vector<TargetRef> stored_, lost_;
  DbWorker worker_;  // the writer and its connection; last, so it ends first
};

}  // namespace hub

#endif
