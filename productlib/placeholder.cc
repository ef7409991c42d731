// The product library; its facilities are added one concern at a time.
