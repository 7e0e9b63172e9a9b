quellon_add_test(NAME regexp_test LIBS quellon_regexp)
