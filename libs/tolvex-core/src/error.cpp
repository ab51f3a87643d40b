#include "tolvex/core/error.hpp"

#include <exception>
#include <new>

namespace tolvex::core {

std::string_view AgentError::code() const {
    switch (kind_) {
        case ErrorKind::CertificateNotFound:
            return "certificate_not_found";
        case ErrorKind::KeyNotFound:
            return "key_not_found";
        case ErrorKind::PinRequired:
            return "pin_required";
        case ErrorKind::PinIncorrect:
        case ErrorKind::PinIncorrectCountLow:
        case ErrorKind::PinIncorrectFinalTry:
            return "pin_incorrect";
        case ErrorKind::PinLocked:
            return "pin_locked";
        case ErrorKind::UserCancelled:
            return "user_cancelled";
        case ErrorKind::Unsupported:
            return "unsupported";
        case ErrorKind::SignFailed:
            return "sign_failed";
    }
    return "sign_failed";
}

std::string AgentError::message() const {
    switch (kind_) {
        case ErrorKind::CertificateNotFound:
            return "certificado não encontrado";
        case ErrorKind::KeyNotFound:
            return "o certificado não tem chave privada utilizável neste computador";
        case ErrorKind::PinRequired:
            return "PIN necessário";
        case ErrorKind::PinIncorrect:
            return "PIN incorreto";
        case ErrorKind::PinIncorrectCountLow:
            return "PIN incorreto. Restam poucas tentativas antes de o token bloquear: confira o "
                   "PIN antes de tentar de novo";
        case ErrorKind::PinIncorrectFinalTry:
            return "PIN incorreto. ATENÇÃO: a próxima tentativa errada vai BLOQUEAR o token";
        case ErrorKind::PinLocked:
            return "PIN bloqueado";
        case ErrorKind::UserCancelled:
            return "operação cancelada pelo usuário";
        case ErrorKind::Unsupported:
            return "não suportado: " + detail_;
        case ErrorKind::SignFailed:
            return "falha ao assinar: " + detail_;
    }
    return "falha ao assinar: " + detail_;
}

bool AgentError::stops_search() const {
    switch (kind_) {
        case ErrorKind::PinRequired:
        case ErrorKind::PinIncorrect:
        case ErrorKind::PinIncorrectCountLow:
        case ErrorKind::PinIncorrectFinalTry:
        case ErrorKind::PinLocked:
        case ErrorKind::UserCancelled:
            return true;
        default:
            return false;
    }
}

std::string current_exception_text() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return "erro interno: memória insuficiente";
    } catch (const std::exception& e) {
        return std::string("erro interno: ") + e.what();
    } catch (...) {
        return "erro interno";
    }
}

}  // namespace tolvex::core
