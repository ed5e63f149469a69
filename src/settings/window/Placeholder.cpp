// window conventions
