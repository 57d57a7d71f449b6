// placeholder until the exported interface lands
#include "instrument/zel_api_class.h"
