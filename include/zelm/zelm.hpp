// Everything a host or plug-in needs, in one include.
#pragma once

#include <zelm/clean.hpp>
#include <zelm/cluster.hpp>
#include <zelm/device.hpp>
#include <zelm/device_manager.hpp>
#include <zelm/errors.hpp>
#include <zelm/holder.hpp>
#include <zelm/lock.hpp>
#include <zelm/managed_device.hpp>
#include <zelm/owner.hpp>
#include <zelm/query.hpp>
#include <zelm/scan.hpp>
#include <zelm/select.hpp>
