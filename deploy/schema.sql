-- Database of boat_tracker: one row per usable GPS fix, written every tenth
-- pass of its loop. Load as the server's administrator:
--   mariadb -u root < schema.sql
CREATE DATABASE IF NOT EXISTS GPSTracker;
USE GPSTracker;

CREATE TABLE IF NOT EXISTS GPS (
  id          INT UNSIGNED NOT NULL AUTO_INCREMENT,
  Lat         DOUBLE NOT NULL,
  Lng         DOUBLE NOT NULL,
  -- NULL when the receiver gave a position without speed or course.
  Speed       DOUBLE NULL,
  Bearing     DOUBLE NULL,
  -- Raw converter counts; the reply's upper bits are not masked, so up to 65535.
  FuelVoltage INT NOT NULL,
  Active      TINYINT NOT NULL,
  Logged      TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP,
  PRIMARY KEY (id),
  KEY (Logged)
);

-- The tracker logs in over TCP on 127.0.0.1; 'localhost' covers tools run
-- on the board through the socket. Reading back is for the shore tools.
CREATE USER IF NOT EXISTS 'skipper'@'127.0.0.1' IDENTIFIED BY 'tern482';
CREATE USER IF NOT EXISTS 'skipper'@'localhost' IDENTIFIED BY 'tern482';
GRANT SELECT, INSERT ON GPSTracker.GPS TO 'skipper'@'127.0.0.1';
GRANT SELECT, INSERT ON GPSTracker.GPS TO 'skipper'@'localhost';
FLUSH PRIVILEGES;
