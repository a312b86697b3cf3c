// Carries out the card operations of a confirmed renewal on a thread of its own and
// reports every step: started (0, -1), step i begins (1, i), step i succeeded (0, i) or
// failed (1, i), all finished (2, -1). The reports are made on the worker thread; the
// receiver passes them on to its own thread.
//
// The steps run in the order of RenewalTasks: the installs first, then the deletions. An
// old certificate is deleted only when its replacement was installed, a renewed key pair
// only when its partner's certificate was, and its keys only when its certificate was
// deleted; a step left out that way is never begun (it
// stays pending). When the module says that the card or the session is gone, the step is
// reported failed and the worker touches the token no more: the final report follows.
#pragma once

#include "RenewalPairing.h"

#include <atomic>
#include <list>
#include <thread>

namespace TvrServices {

class IRenewalProgress {
 public:
    virtual ~IRenewalProgress() = default;
    virtual void TaskStarted(int kind, int index) = 0;   // (0, -1) or (1, i)
    virtual void TaskFinished(int kind, int index) = 0;  // (0, i), (1, i) or (2, -1)
};

class RenewalWorker {
 public:
    // Everything given must outlive the worker; the destructor waits for the thread.
    RenewalWorker(PKCS11Base& token, const std::list<RenewalOperation>& operations, IRenewalProgress& progress);
    ~RenewalWorker();
    RenewalWorker(const RenewalWorker&) = delete;
    RenewalWorker& operator=(const RenewalWorker&) = delete;

    void Start();
    void Join();
    // Whether anything on the card changed (read after Join).
    bool Changed() const { return changed_; }

    // The steps on the calling thread, for Start and for tests.
    void Run();

 private:
    // Runs one step, reported as step `index`; true when it succeeded.
    bool RunStep(const RenewalTask& task, int index);

    PKCS11Base& token_;
    const std::list<RenewalOperation>& operations_;
    IRenewalProgress& progress_;
    std::atomic<bool> changed_{false};
    std::thread thread_;
};

} // namespace TvrServices
