rtsppull_add_test(NAME rtp_receiver_udp_test SOURCES rtp_receiver_udp_test.cpp LABELS reorder)
# Own executable: it replaces the global operator new[].
rtsppull_add_test(NAME reorder_alloc_test SOURCES reorder_alloc_test.cpp LABELS reorder)
