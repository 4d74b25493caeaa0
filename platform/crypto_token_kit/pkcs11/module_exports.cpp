// The loadable module's own translation unit: everything else comes whole from the module's
// library, and the version script keeps only the C_ entry points visible.
#include "platform/crypto_token_kit/pkcs11/entry_points.h"
