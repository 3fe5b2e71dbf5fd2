list(APPEND BAYERCAM_DRIVER_SOURCES
     stream/filter.cpp
     stream/intersection.cpp
     stream/capture_worker.cpp
     stream/pin.cpp
     stream/stream_control.cpp
     stream/frame_delivery.cpp)
