// The source the tests' shared precompiled header is built with.
