quellon_add_test(NAME variant_test LIBS quellon_wmi)
# The live-query test drives the store from a second process.
quellon_add_test(NAME simprovider_test LIBS quellon_wmi DEPENDS quellon-sim LINUX_ONLY)
quellon_add_test(NAME wmiconnector_test LIBS quellon_wmi)
quellon_add_test(NAME comptr_test LIBS quellon_wmi)
