#include "RenewalWorker.h"

#include <openssl/x509.h>

#include <set>
#include <vector>

namespace TvrServices {

RenewalWorker::RenewalWorker(PKCS11Base& token, const std::list<RenewalOperation>& operations,
                             IRenewalProgress& progress)
    : token_(token), operations_(operations), progress_(progress)
{
}

RenewalWorker::~RenewalWorker()
{
    Join();
}

void RenewalWorker::Start()
{
    if (!thread_.joinable())
        thread_ = std::thread([this] { Run(); });
}

void RenewalWorker::Join()
{
    if (thread_.joinable())
        thread_.join();
}

bool RenewalWorker::RunStep(const RenewalTask& task, int index)
{
    progress_.TaskStarted(1, index);
    const RenewalOperation& operation = *task.operation;
    bool done = false;
    switch (task.step) {
    case RenewalStep::InstallCertificate:
        done = token_.CreateCertificate(&operation.id, &operation.label, 0, operation.newCertificate);
        break;
    case RenewalStep::DeleteCertificate:
        done = token_.DestroyObject(operation.oldCertificate);
        break;
    case RenewalStep::DeletePublicKey:
        done = token_.DestroyObject(operation.oldPublicKey);
        break;
    case RenewalStep::DeletePrivateKey:
        done = token_.DestroyObject(operation.oldPrivateKey);
        break;
    }
    if (done)
        changed_ = true;
    progress_.TaskFinished(done ? 0 : 1, index);
    return done;
}

void RenewalWorker::Run()
{
    progress_.TaskStarted(0, -1);
    const std::vector<RenewalTask> tasks = RenewalTasks(operations_);
    std::set<const RenewalOperation*> installedFor;  // operations whose new certificate is on the card
    std::set<const X509*> installed;
    std::set<const RenewalOperation*> certificateKept;  // its old certificate could not be deleted
    for (size_t i = 0; i < tasks.size(); ++i) {
        const RenewalTask& task = tasks[i];
        const RenewalOperation* operation = task.operation;
        if (task.step != RenewalStep::InstallCertificate) {
            // Nothing goes before what replaces it is on the card.
            if (operation->newCertificate && !installedFor.count(operation))
                continue;
            if (operation->partnerCertificate && !installed.count(operation->partnerCertificate))
                continue;
            // A certificate left on the card keeps its keys.
            if (task.step != RenewalStep::DeleteCertificate && certificateKept.count(operation))
                continue;
        }
        if (RunStep(task, static_cast<int>(i))) {
            if (task.step == RenewalStep::InstallCertificate) {
                installedFor.insert(operation);
                installed.insert(operation->newCertificate);
            }
        } else {
            if (task.step == RenewalStep::DeleteCertificate)
                certificateKept.insert(operation);
            if (token_.HasSession())
                continue;
            // The card (or its session) is gone: the token object has forgotten the
            // session, and nothing more is sent to it.
            break;
        }
    }
    progress_.TaskFinished(2, -1);
}

} // namespace TvrServices
