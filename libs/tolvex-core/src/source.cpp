#include "tolvex/core/cert.hpp"

namespace tolvex::core {

SourceEntry source_entry(const SourceCertificate& cert) {
    return SourceEntry{cert.source, cert.location, cert.requires_pin, cert.key_storage,
                       cert.provider};
}

}  // namespace tolvex::core
