quellon_add_test(NAME configdataloader_test LIBS quellon_base)
quellon_add_test(NAME logger_test LIBS quellon_base)
quellon_add_test(NAME stringconvertor_test LIBS quellon_base)
