// The device's configuration manager, as the emulated device plays it for a provisioning document
// opened by hand (a .cpf): its CertificateStore and Registry characteristics. The certificate
// stores are folders of the emulated device (STORES_FOLDER\<store>\<THUMBPRINT>.cer, the SPC's
// role mask beside it in <THUMBPRINT>.role), where its scripts check signatures against them.
#pragma once
#include "provisioning_document.h"

#define STORES_FOLDER L"C:\\windows\\security\\stores"
#define SECROLE_MANAGER 8

// Checks the whole document, then applies it with the role the document was accepted with
// (adding certificates needs the Manager role). 0 applied, 4 unsound (nothing applied), 7 its
// role does not allow it (nothing applied).
int ApplyProvisioningDocument(const XmlDocument* document, DWORD role);
