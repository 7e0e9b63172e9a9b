# The shared WMI vocabulary: time codec, ASCII helpers and WQL.
quellon_add_test(NAME cimtime_test LIBS quellon_wmi_cim_text)
quellon_add_test(NAME ascii_test LIBS quellon_wmi_cim_text)
quellon_add_test(NAME wql_test LIBS quellon_wmi)
