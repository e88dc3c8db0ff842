// The download engine of one acquisition pass: the library-wide state, the
// preparation of the update records, the dispatcher that hands queued
// packages to thread slots, the workers that fetch them and the monitors
// that report their progress.
#pragma once
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "acquireutil.h"
#include "qyxl.h"

namespace QYXAcquistion::engine {

// Held for the whole of a pass: the engine's state is one per process, so
// passes of different managers run one after another.
std::unique_lock<std::mutex> lockPass();

// Clears the update records, points every package of `queue` at
// `downloadPath` and records its file: present when its checksum matches,
// otherwise (with `deleteStale`, i.e. when it will be downloaded again)
// deleted from the download directory. Packages without an update id or
// file name are removed from the queue. Names ending in ".xml" are added to
// `xmlFiles`.
void prepare(std::vector<qyxl::UpdatePackage*>& queue, const std::string& downloadPath,
             AcquireCallbackIfc& callback, std::set<std::string>& xmlFiles, bool deleteStale);

// Number of update records made by prepare().
int updateRecordCount();

struct PassSettings {
  AcquireCallbackIfc* callback = nullptr;
  qyxl::UpdateOrderContext* context = nullptr;
  bool report = false;
  AcquireType acquireType = ACQUIRE_BY_MACHINE_TYPE;
};

// Hands every queued package to a worker thread and waits until the queue is
// empty and every enabled slot is idle. Returns the pass success flag. A
// report pass starts no thread: it tells each update once, in queue order,
// from what prepare() found.
bool dispatch(const std::vector<qyxl::UpdatePackage*>& queue, const PassSettings& settings);

}  // namespace QYXAcquistion::engine
