quellon_add_test(NAME waitable_test LIBS quellon_rslib)
quellon_add_test(NAME abstractthread_test LIBS quellon_rslib)
