"""The live view for Foxglove: a server of the Foxglove WebSocket protocol
(foxglove.websocket.v1) that sends the packets of a port, or of a recording
replayed at its pace, as ROS 2 messages (wire.ros_messages), with the line's
health as JSON."""
