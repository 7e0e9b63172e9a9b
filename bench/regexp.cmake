# regexp_bench: compile + match of the command patterns against std::regex
# and PCRE2. Only with QUELLON_BENCH and when PCRE2 (8-bit) is found.
if(QUELLON_BENCH AND TARGET PkgConfig::PCRE2)
  quellon_add_bench(NAME regexp_bench LIBS quellon_regexp benchmark::benchmark PkgConfig::PCRE2)
endif()
