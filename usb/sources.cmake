list(APPEND BAYERCAM_DRIVER_SOURCES
     usb/urb_submit.cpp
     usb/pipes.cpp
     usb/configuration.cpp
     usb/pipe_recovery.cpp
     usb/command_packets.cpp
     usb/register_access.cpp
     usb/frame_transfers.cpp
     usb/frame_read.cpp)
