// Service control: hands the first thread to the service control dispatcher, or runs
// in-process when the program is not started as a service.
#include "service/ServiceModule.h"
#include "service/Unavailable.h"

namespace kstv {

void ServiceModule::Launch() { ReportUnavailable("Launch"); }

}  // namespace kstv
