// The device's configuration manager, as the emulated device plays it for a provisioning document,
// whether opened by hand (a .cpf) or sent by the management system (answered): its Registry and
// CertificateStore characteristics. The certificate stores are folders of the device's security
// state (stores\<store>\<THUMBPRINT>.cer, the SPC's role mask beside it in <THUMBPRINT>.role),
// where its scripts check signatures against them. A role is the mask a document was accepted
// with, the Manager role already added where the device's policies grant it (its scripts decide
// that; nothing here reads a policy).
#pragma once
#include "provisioning_document.h"

#include <wincrypt.h>

// The security roles, as masks: the Manager role, and the role of a package or document when none
// is given (User Authenticated, as the device's policy 4101 gives unsigned packages).
#define SECROLE_MANAGER 8
#define UNSIGNED_ROLE 16
// The exit code of a document with an element in error: its *-error element in the answer.
#define DOCUMENT_IN_ERROR 14

// Checks the whole document, then applies its settings in document order (registry values set and
// deleted, certificates added to and deleted from the stores of the security state `state`), as a
// whole or not at all, then answers its queries, and writes the answer to answerPath: the same
// document, each query answered, each element that failed its error element. answerPath NULL: a
// document opened by hand, which has nobody to answer to. 0 done; 4 it is no document the
// configuration manager can read (nothing applied, no answer), or the answer cannot be written; 7
// its role does not allow it (nothing applied or read); DOCUMENT_IN_ERROR an element is in error
// (nothing applied, unless undoing failed too, or a query not answered).
int ProcessProvisioningDocument(const XmlDocument* document, DWORD role, LPCWSTR state, LPCWSTR answerPath);
BOOL Hash(ALG_ID algorithm, const BYTE* data, DWORD size, BYTE* hash, DWORD hashSize);
