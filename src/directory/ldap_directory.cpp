#include "directory/ldap_directory.h"
