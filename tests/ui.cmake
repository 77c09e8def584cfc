# The user interface, under an X display (Xvfb from scripts/test.sh).
cw_add_gtest(message_dialog_test SOURCES message_dialog_test.cpp LIBS cw_ui
  PROPERTIES TIMEOUT 30)
