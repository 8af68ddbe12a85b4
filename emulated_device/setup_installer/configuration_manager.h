// The device's configuration manager, as the emulated device plays it for a provisioning document
// opened by hand (a .cpf): its CertificateStore and Registry characteristics. The certificate
// stores are folders of the device's security state (stores\<store>\<THUMBPRINT>.cer, the SPC's
// role mask beside it in <THUMBPRINT>.role), where its scripts check signatures against them.
// A role is the mask a document was accepted with, the Manager role already added where the
// device's policies grant it (its scripts decide that; nothing here reads a policy).
#pragma once
#include "provisioning_document.h"

#include <wincrypt.h>

// The security roles, as masks: the Manager role, and the role of a package or document when none
// is given (User Authenticated, as the device's policy 4101 gives unsigned packages).
#define SECROLE_MANAGER 8
#define UNSIGNED_ROLE 16

// Checks the whole document, then applies it with its role (adding certificates to the stores of
// the security state and setting registry values need the Manager role). 0 applied, 4 unsound
// (nothing applied), 7 its role does not allow it (nothing applied).
int ApplyProvisioningDocument(const XmlDocument* document, DWORD role, LPCWSTR state);
// Answers a document that arrives through the management system, as the platform's
// configuration manager answers one: the same document written to answerPath, each parm-query of
// a Registry key turned into the value (parm with value and datatype), noparm when it does not
// exist or parm-query-error, a key that does not exist into nocharacteristic, and what the
// emulated device does not play through this channel into its error element. 0 answered, 4
// unsound or the answer cannot be written (no answer), 7 answered, but the role does not allow
// reading the registry (its queries answered with errors).
int AnswerProvisioningDocument(const XmlDocument* document, DWORD role, LPCWSTR answerPath);
BOOL Hash(ALG_ID algorithm, const BYTE* data, DWORD size, BYTE* hash, DWORD hashSize);
