list(APPEND BAYERCAM_DRIVER_SOURCES
     control/region_of_interest.cpp
     control/settings.cpp
     control/settings_store.cpp
     control/property_set.cpp)
