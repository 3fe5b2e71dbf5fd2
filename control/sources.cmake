list(APPEND BAYERCAM_DRIVER_SOURCES
     control/region_of_interest.cpp)
