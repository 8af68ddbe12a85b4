"""Provisioning documents (wap-provisioningdoc), as the device's configuration manager reads them:
a CAB's _setup.xml and the documents of a .cpf or of a device-management system. UTF-8, every
attribute value escaped, two-space indentation and CRLF line ends."""


def escape(value):
    return value.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;").replace(">", "&gt;")


def characteristic(kind, *children, **attributes):
    return ("characteristic", {"type": kind, **attributes}, children)


def parm(name, value, **attributes):
    return ("parm", {"name": name, "value": value, **attributes}, ())


def _lines(element, depth):
    tag, attributes, children = element
    opening = "  " * depth + "<" + tag + "".join(' %s="%s"' % (key, escape(str(value))) for key, value in attributes.items())
    if not children:
        return [opening + " />"]
    lines = [opening + ">"]
    for child in children:
        lines += _lines(child, depth + 1)
    return lines + ["  " * depth + "</%s>" % tag]


def document(*characteristics):
    return "\r\n".join(_lines(("wap-provisioningdoc", {}, characteristics), 0) + [""]).encode("utf-8")


def install_characteristic(app_name, counts, install_dir=None, setup_library=None):
    """The Install characteristic that opens a CAB's _setup.xml: the application's full name and
    how many directories, files, registry keys and values and shortcuts follow."""
    parms = [parm("InstallPhase", "install"), parm("AppName", app_name)]
    if install_dir is not None:
        parms.append(parm("InstallDir", install_dir, translation="install"))
    for name in ("NumDirs", "NumFiles", "NumRegKeys", "NumRegVals", "NumShortcuts"):
        parms.append(parm(name, str(counts.get(name, 0))))
    if setup_library is not None:
        parms.append(parm("SetupDLL", setup_library))
    return characteristic("Install", *parms)


def registry_characteristic(key, values, translated=()):
    """Registry configuration service provider: string values (name, text) of one key, such as
    "HKLM\\COMM\\TIWLNAPI1\\PARMS". A value is stored as written unless its name is among
    `translated`: then the device replaces its folder macros (%CE1% and the like)."""
    parms = [parm(name, text, datatype="string", **({"translation": "install"} if name in translated else {}))
             for name, text in values]
    return characteristic("Registry", characteristic(key, *parms))


def certificate_store_characteristic(thumbprint, encoded_certificate, role):
    """CertificateStore configuration service provider: one certificate (its SHA-1 thumbprint in
    hexadecimal, its DER in base64) added to the SPC store with a role mask, for CAB files, and to
    the Privileged Execution Trust Authorities store, for programs."""
    certificate = [parm("EncodedCertificate", encoded_certificate)]
    return characteristic("CertificateStore",
                          characteristic("SPC", characteristic(thumbprint, *certificate, parm("Role", str(role)))),
                          characteristic("Privileged Execution Trust Authorities",
                                         characteristic(thumbprint, *certificate)))
