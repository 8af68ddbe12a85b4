"""The device's security roles, the bits of a role mask ("Security Role Settings", aa457993), as
the kit's builders and the emulated device's scripts both name them."""

SECROLE_MANAGER = 8
SECROLE_USER_AUTH = 16  # User Authenticated: what the device's policy 4101 gives unsigned packages
SECROLE_ENTERPRISE = 32  # a management server's channel
SECROLE_OPERATOR_TPS = 128
