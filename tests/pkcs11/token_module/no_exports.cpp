// The variant of the test token module that exports no PKCS#11 entry point,
// like a library that is not a PKCS#11 module at all.
