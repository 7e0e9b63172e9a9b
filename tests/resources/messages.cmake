quellon_add_test(NAME messages_test LIBS quellon_base)
