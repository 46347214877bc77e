/* A library that needs_absent_library links against and that the test
 * plugins directory never holds. */
int tessard_absent_dependency_value(void) { return 42; }
