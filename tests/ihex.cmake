ralvex_test(ihex_reader_test ihex_reader_test.cpp)
ralvex_test(ihex_loader_test ihex_loader_test.cpp)
# Every case makes its HEX file with objcopy or srec_cat.
ralvex_test(ihex_tools_test ihex_tools_test.cpp SLOW "*")
