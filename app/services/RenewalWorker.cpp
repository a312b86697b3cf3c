#include "RenewalWorker.h"

#include <openssl/x509.h>

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

bool RenewalWorker::Delete(CK_OBJECT_HANDLE handle, int& step)
{
    progress_.TaskStarted(1, step);
    const bool deleted = token_.DestroyObject(handle);
    if (deleted)
        changed_ = true;
    progress_.TaskFinished(deleted ? 0 : 1, step);
    ++step;
    return deleted;
}

void RenewalWorker::Run()
{
    progress_.TaskStarted(0, -1);
    int step = 0;
    for (const RenewalOperation& operation : operations_) {
        bool oldDeleted = true;
        if (operation.oldCertificate)
            oldDeleted = Delete(operation.oldCertificate, step);
        if (!operation.newCertificate) {
            if (operation.oldPublicKey)
                Delete(operation.oldPublicKey, step);
            if (operation.oldPrivateKey)
                Delete(operation.oldPrivateKey, step);
            continue;
        }
        if (!oldDeleted) {
            ++step;  // skipped, but the step keeps its place in the list
            continue;
        }
        progress_.TaskStarted(1, step);
        const bool installed = token_.CreateCertificate(&operation.id, &operation.label, 0, operation.newCertificate);
        if (installed) {
            changed_ = true;
        } else if (operation.oldCertificate) {
            // The old certificate is already gone: put it back rather than leave the key
            // without any.
            const unsigned char* cursor = operation.oldCertificateDer.data();
            X509Ptr old(d2i_X509(nullptr, &cursor, static_cast<long>(operation.oldCertificateDer.size())));
            if (old)
                token_.CreateCertificate(&operation.id, &operation.label, 0, old.get());
        }
        progress_.TaskFinished(installed ? 0 : 1, step);
        ++step;
    }
    progress_.TaskFinished(2, -1);
}

} // namespace TvrServices
