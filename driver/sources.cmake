list(APPEND BAYERCAM_DRIVER_SOURCES
     driver/entry.cpp
     driver/device_add.cpp
     driver/device_start.cpp
     driver/camera_ops.cpp)
